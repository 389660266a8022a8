// The CRYPT32 certificate-store functions for Linux: the current user's system stores kept in the
// registry stand-in as Windows keeps them (docs/certificate-store.md). A store reads its certificates
// when it is opened and writes every change through to the registry at once, as Windows' registry
// stores do, so that other processes see it on their next open.
#include "os/posix/certstoreInternal.h"
#include "os/posix/registryStore.h"
#include "os/posix/winRegistry.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <set>

using namespace lucert;

namespace {

const char kStoresKey[] = "Software\\Microsoft\\SystemCertificates\\";
const char kBlobValue[] = "Blob";
// Stores that always exist for a user on Windows: opening them never fails for being missing.
const char* const kPredefinedStores[] = {
    "MY",          "CA",      "ROOT", "TRUST", "DISALLOWED", "TRUSTEDPEOPLE", "TRUSTEDPUBLISHER",
    "ADDRESSBOOK", "AUTHROOT"};

// One lock for the whole stand-in: store operations are rare and short. It is trivially destructible,
// so handles freed from static destructors still find it.
std::recursive_mutex& Lock() {
    static std::recursive_mutex lock;
    return lock;
}
// The registries of live handles are made on first use and freed by osCertStoreShutdown when the
// library unloads.
std::set<const void*>* gLiveStores = nullptr;
std::set<const void*>* gLiveElements = nullptr;
std::set<const void*>& LiveStores() {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    if (!gLiveStores) gLiveStores = new std::set<const void*>();
    return *gLiveStores;
}
std::set<const void*>& LiveElements() {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    if (!gLiveElements) gLiveElements = new std::set<const void*>();
    return *gLiveElements;
}

BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

TCertStore* AsStore(HCERTSTORE handle) {
    if (!handle || !LiveStores().count(handle)) return nullptr;
    TCertStore* store = static_cast<TCertStore*>(handle);
    return store->OpenHandles > 0 ? store : nullptr;
}

TCertElement* AsElement(PCCERT_CONTEXT context) {
    if (!context || !LiveElements().count(context)) return nullptr;
    return reinterpret_cast<TCertElement*>(const_cast<CERT_CONTEXT*>(context));
}

void Register(TCertElement* e) {
    LiveElements().insert(&e->Context);
}

void Destroy(TCertElement* e) {
    LiveElements().erase(&e->Context);
    delete e;
}

// Frees a store once it is closed and no context of it is held any more.
void MaybeFreeStore(TCertStore* store) {
    if (store->OpenHandles > 0) return;
    for (TCertElement* e : store->Elements)
        if (e->Refs > 0) return;
    for (TCertElement* e : store->Elements)
        Destroy(e);
    LiveStores().erase(store);
    delete store;
}

void AddRef(TCertElement* e) {
    ++e->Refs;
}

void Release(TCertElement* e) {
    if (--e->Refs > 0) return;
    TCertStore* store = e->Store;
    if (!store) {
        Destroy(e);
        return;
    }
    if (e->Deleted) {
        store->Elements.erase(std::remove(store->Elements.begin(), store->Elements.end(), e),
                              store->Elements.end());
        Destroy(e);
    }
    MaybeFreeStore(store);
}

std::string UpperAscii(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool IsPredefined(const std::string& name) {
    std::string upper = UpperAscii(name);
    for (const char* predefined : kPredefinedStores)
        if (upper == predefined) return true;
    return false;
}

std::string StoreKey(const std::string& name) {
    return std::string(kStoresKey) + name;
}
std::string CertificatesKey(const std::string& name) {
    return StoreKey(name) + "\\Certificates";
}

LONG PersistElement(TCertStore* store, TCertElement* e) {
    if (!store->Persistent) return ERROR_SUCCESS;
    std::string keyName = e->RegKeyName.empty() ? HexUpper(e->Sha1) : e->RegKeyName;
    HKEY key = nullptr;
    DWORD disposition = 0;
    LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, (CertificatesKey(store->Name) + "\\" + keyName).c_str(), 0,
                              nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, &disposition);
    if (rc != ERROR_SUCCESS) return rc;
    Bytes blob = EncodeBlob(*e);
    rc = RegSetValueExA(key, kBlobValue, 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
    RegCloseKey(key);
    if (rc == ERROR_SUCCESS) e->RegKeyName = keyName;
    return rc;
}

LONG UnpersistElement(TCertStore* store, TCertElement* e) {
    if (!store->Persistent || e->RegKeyName.empty()) return ERROR_SUCCESS;
    LONG rc = RegDeleteKeyA(HKEY_CURRENT_USER, (CertificatesKey(store->Name) + "\\" + e->RegKeyName).c_str());
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

// Reads every certificate of the store's registry key from one snapshot of its entries; entries that
// cannot be read (or were removed since) are passed over, as Windows passes over a damaged entry.
LONG LoadStore(TCertStore* store) {
    HKEY certs = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, CertificatesKey(store->Name).c_str(), 0, KEY_READ, &certs);
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<std::string> names;
    rc = lureg::SnapshotSubKeys(certs, names);
    for (size_t i = 0; rc == ERROR_SUCCESS && i < names.size(); ++i) {
        const std::string& name = names[i];
        HKEY entry = nullptr;
        if (RegOpenKeyExA(certs, name.c_str(), 0, KEY_READ, &entry) != ERROR_SUCCESS) continue;
        DWORD type = 0, size = 0;
        Bytes blob;
        if (RegQueryValueExA(entry, kBlobValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
            type == REG_BINARY && size > 0) {
            blob.resize(size);
            if (RegQueryValueExA(entry, kBlobValue, nullptr, &type, blob.data(), &size) != ERROR_SUCCESS)
                blob.clear();
            else
                blob.resize(size);
        }
        RegCloseKey(entry);
        TCertElement* e = blob.empty() ? nullptr : DecodeBlob(blob);
        if (!e) continue;
        e->RegKeyName = name;
        e->Store = store;
        e->Context.hCertStore = store;
        e->Context.dwCertEncodingType = X509_ASN_ENCODING;
        Register(e);
        store->Elements.push_back(e);
    }
    RegCloseKey(certs);
    return rc;
}

// Removes a store's key with its certificates (CERT_STORE_DELETE_FLAG).
LONG DeleteStoreKey(const std::string& name) {
    HKEY certs = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, CertificatesKey(name).c_str(), 0, KEY_READ, &certs);
    if (rc == ERROR_SUCCESS) {
        std::vector<std::string> names;
        rc = lureg::SnapshotSubKeys(certs, names);
        RegCloseKey(certs);
        if (rc != ERROR_SUCCESS) return rc;
        for (const std::string& entry : names) {
            rc = RegDeleteKeyA(HKEY_CURRENT_USER, (CertificatesKey(name) + "\\" + entry).c_str());
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
        }
        rc = RegDeleteKeyA(HKEY_CURRENT_USER, CertificatesKey(name).c_str());
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
    } else if (rc != ERROR_FILE_NOT_FOUND) {
        return rc;
    }
    rc = RegDeleteKeyA(HKEY_CURRENT_USER, StoreKey(name).c_str());
    return rc;
}

HCERTSTORE OpenSystemStore(const std::string& name, DWORD flags) {
    DWORD location = flags & CERT_SYSTEM_STORE_LOCATION_MASK;
    if (location == 0 || name.empty() || name.find('\\') != std::string::npos) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    if (location != CERT_SYSTEM_STORE_CURRENT_USER) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (flags & CERT_STORE_DELETE_FLAG) {
        LONG rc = DeleteStoreKey(name);
        SetLastError(rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(rc));
        return nullptr;
    }

    HKEY probe = nullptr;
    bool exists =
        RegOpenKeyExA(HKEY_CURRENT_USER, StoreKey(name).c_str(), 0, KEY_READ, &probe) == ERROR_SUCCESS;
    if (probe) RegCloseKey(probe);
    bool readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
    if (exists && (flags & CERT_STORE_CREATE_NEW_FLAG)) {
        SetLastError(ERROR_FILE_EXISTS);
        return nullptr;
    }
    if (!exists && !IsPredefined(name) && ((flags & CERT_STORE_OPEN_EXISTING_FLAG) || readOnly)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (!exists && !readOnly) {
        HKEY created = nullptr;
        DWORD disposition = 0;
        LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, CertificatesKey(name).c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &created, &disposition);
        if (rc != ERROR_SUCCESS) {
            SetLastError(static_cast<DWORD>(rc));
            return nullptr;
        }
        RegCloseKey(created);
    }

    TCertStore* store = new (std::nothrow) TCertStore();
    if (!store) {
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
        return nullptr;
    }
    store->Name = name;
    store->Persistent = true;
    store->ReadOnly = readOnly;
    store->OpenHandles = 1;
    LiveStores().insert(store);
    LONG rc = LoadStore(store);
    if (rc != ERROR_SUCCESS) {
        store->OpenHandles = 0;
        MaybeFreeStore(store);
        SetLastError(static_cast<DWORD>(rc));
        return nullptr;
    }
    return store;
}

bool NarrowStoreName(const WCHAR* wide, std::string& out) {
    out.clear();
    for (size_t i = 0; wide[i]; ++i) {
        if (wide[i] > 0xFF || i > 255) return false;
        out.push_back(static_cast<char>(wide[i]));
    }
    return true;
}

TCertElement* FindBySha1(TCertStore* store, const Bytes& sha1) {
    for (TCertElement* e : store->Elements)
        if (!e->Deleted && e->Sha1 == sha1) return e;
    return nullptr;
}

BOOL CopyOut(const Bytes& value, void* pvData, DWORD* pcbData) {
    DWORD needed = static_cast<DWORD>(value.size());
    if (!pvData) {
        *pcbData = needed;
        return TRUE;
    }
    if (*pcbData < needed) {
        *pcbData = needed;
        return Fail(ERROR_MORE_DATA);
    }
    if (needed) memcpy(pvData, value.data(), needed);
    *pcbData = needed;
    return TRUE;
}

Bytes Md5Of(const Bytes& data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), md, &len, EVP_md5(), nullptr) != 1) return Bytes();
    return Bytes(md, md + len);
}

} // namespace

extern "C" {

HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType, HCRYPTPROV_LEGACY hCryptProv,
                                DWORD dwFlags, const void* pvPara) {
    (void)dwEncodingType;
    (void)hCryptProv;
    std::lock_guard<std::recursive_mutex> guard(Lock());
    if (lpszStoreProvider == CERT_STORE_PROV_MEMORY) {
        TCertStore* store = new (std::nothrow) TCertStore();
        if (!store) {
            SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
            return nullptr;
        }
        store->OpenHandles = 1;
        LiveStores().insert(store);
        return store;
    }
    std::string name;
    if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W) {
        if (!pvPara || !NarrowStoreName(static_cast<const WCHAR*>(pvPara), name)) {
            SetLastError(static_cast<DWORD>(E_INVALIDARG));
            return nullptr;
        }
    } else if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_A) {
        if (!pvPara) {
            SetLastError(static_cast<DWORD>(E_INVALIDARG));
            return nullptr;
        }
        name = static_cast<const char*>(pvPara);
    } else {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return OpenSystemStore(name, dwFlags);
}

HCERTSTORE WINAPI CertOpenSystemStoreA(HCRYPTPROV_LEGACY hProv, LPCSTR szSubsystemProtocol) {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, hProv,
                         CERT_STORE_NO_CRYPT_RELEASE_FLAG | CERT_SYSTEM_STORE_CURRENT_USER,
                         szSubsystemProtocol);
}

BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
    if (!hCertStore) return TRUE;
    std::lock_guard<std::recursive_mutex> guard(Lock());
    TCertStore* store = AsStore(hCertStore);
    if (!store) return Fail(static_cast<DWORD>(E_INVALIDARG));
    --store->OpenHandles;
    bool pending = false;
    for (TCertElement* e : store->Elements)
        pending = pending || e->Refs > 0;
    MaybeFreeStore(store);
    // Contexts still held keep the store alive, also with CERT_CLOSE_STORE_FORCE_FLAG.
    if (pending && (dwFlags & CERT_CLOSE_STORE_CHECK_FLAG))
        return Fail(static_cast<DWORD>(CRYPT_E_PENDING_CLOSE));
    return TRUE;
}

BOOL WINAPI CertControlStore(HCERTSTORE hCertStore, DWORD dwFlags, DWORD dwCtrlType, void const* pvCtrlPara) {
    (void)dwFlags;
    (void)pvCtrlPara;
    std::lock_guard<std::recursive_mutex> guard(Lock());
    if (!AsStore(hCertStore)) return Fail(static_cast<DWORD>(E_INVALIDARG));
    // Every change is written through at once, so there is never anything left to commit.
    if (dwCtrlType == CERT_STORE_CTRL_COMMIT) return TRUE;
    return Fail(static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext) {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    TCertStore* store = AsStore(hCertStore);
    TCertElement* prev = pPrevCertContext ? AsElement(pPrevCertContext) : nullptr;
    if (!store || (pPrevCertContext && (!prev || prev->Store != store))) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    size_t start = 0;
    if (prev) {
        auto it = std::find(store->Elements.begin(), store->Elements.end(), prev);
        start = static_cast<size_t>(it - store->Elements.begin()) + 1;
    }
    TCertElement* next = nullptr;
    for (size_t i = start; i < store->Elements.size() && !next; ++i)
        if (!store->Elements[i]->Deleted) next = store->Elements[i];
    if (next) AddRef(next);
    if (prev) Release(prev);
    if (!next) {
        SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
        return nullptr;
    }
    return &next->Context;
}

PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                                   DWORD cbCertEncoded) {
    if (!(dwCertEncodingType & X509_ASN_ENCODING)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    if (!pbCertEncoded || cbCertEncoded == 0) {
        SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_EOD));
        return nullptr;
    }
    TCertElement* e = NewElementFromDer(pbCertEncoded, cbCertEncoded);
    if (!e) {
        SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> guard(Lock());
    e->Context.dwCertEncodingType = dwCertEncodingType;
    e->Refs = 1;
    Register(e);
    return &e->Context;
}

PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (!pCertContext) return nullptr;
    std::lock_guard<std::recursive_mutex> guard(Lock());
    TCertElement* e = AsElement(pCertContext);
    if (!e) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    AddRef(e);
    return pCertContext;
}

BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (!pCertContext) return TRUE;
    std::lock_guard<std::recursive_mutex> guard(Lock());
    TCertElement* e = AsElement(pCertContext);
    if (!e) return Fail(static_cast<DWORD>(E_INVALIDARG));
    Release(e);
    return TRUE;
}

BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData,
                                              DWORD* pcbData) {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    TCertElement* e = AsElement(pCertContext);
    if (!e || !pcbData) return Fail(static_cast<DWORD>(E_INVALIDARG));
    auto it = e->Props.find(dwPropId);
    if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) {
        DWORD needed = it == e->Props.end() ? 0 : KeyProvInfoSize(it->second);
        if (needed == 0) return Fail(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
        if (!pvData) {
            *pcbData = needed;
            return TRUE;
        }
        if (*pcbData < needed) {
            *pcbData = needed;
            return Fail(ERROR_MORE_DATA);
        }
        if (!ExpandKeyProvInfo(it->second, static_cast<BYTE*>(pvData), *pcbData))
            return Fail(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
        *pcbData = needed;
        return TRUE;
    }
    if (it != e->Props.end()) return CopyOut(it->second, pvData, pcbData);
    if (dwPropId == CERT_SHA1_HASH_PROP_ID) return CopyOut(e->Sha1, pvData, pcbData);
    if (dwPropId == CERT_MD5_HASH_PROP_ID) {
        Bytes md5 = Md5Of(e->Der);
        if (!md5.empty()) return CopyOut(md5, pvData, pcbData);
    }
    return Fail(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
}

BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags,
                                              const void* pvData) {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    TCertElement* e = AsElement(pCertContext);
    if (!e || dwPropId == 0 || dwPropId == kCertPropId) return Fail(static_cast<DWORD>(E_INVALIDARG));
    // Handle properties refer to live provider objects that cannot be kept.
    if (dwPropId == CERT_KEY_PROV_HANDLE_PROP_ID || dwPropId == CERT_KEY_CONTEXT_PROP_ID)
        return Fail(ERROR_NOT_SUPPORTED);
    Bytes value;
    if (pvData) {
        if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) {
            if (!SerializeKeyProvInfo(static_cast<const CRYPT_KEY_PROV_INFO*>(pvData), value))
                return Fail(static_cast<DWORD>(E_INVALIDARG));
        } else {
            const CRYPT_DATA_BLOB* blob = static_cast<const CRYPT_DATA_BLOB*>(pvData);
            if (blob->cbData && !blob->pbData) return Fail(static_cast<DWORD>(E_INVALIDARG));
            value.assign(blob->pbData, blob->pbData + blob->cbData);
        }
    }
    TCertStore* store = e->Store;
    bool persist =
        store && store->Persistent && !e->Deleted && !(dwFlags & CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG);
    if (persist && store->ReadOnly) return Fail(static_cast<DWORD>(E_ACCESSDENIED));
    std::map<DWORD, Bytes> previous = e->Props;
    if (pvData)
        e->Props[dwPropId] = value;
    else
        e->Props.erase(dwPropId);
    if (persist) {
        LONG rc = PersistElement(store, e);
        if (rc != ERROR_SUCCESS) {
            e->Props = previous;
            return Fail(static_cast<DWORD>(rc));
        }
    }
    return TRUE;
}

BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                             DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext) {
    if (ppStoreContext) *ppStoreContext = nullptr;
    std::lock_guard<std::recursive_mutex> guard(Lock());
    TCertStore* store = AsStore(hCertStore);
    TCertElement* source = AsElement(pCertContext);
    if (!store || !source || dwAddDisposition < CERT_STORE_ADD_NEW ||
        dwAddDisposition > CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES)
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    if (store->ReadOnly) return Fail(static_cast<DWORD>(E_ACCESSDENIED));

    TCertElement* existing = FindBySha1(store, source->Sha1);
    if (existing && dwAddDisposition == CERT_STORE_ADD_NEW) return Fail(static_cast<DWORD>(CRYPT_E_EXISTS));
    if (existing && dwAddDisposition == CERT_STORE_ADD_USE_EXISTING) {
        std::map<DWORD, Bytes> previous = existing->Props;
        for (const auto& prop : source->Props)
            existing->Props.insert(prop);
        if (existing->Props != previous) {
            LONG rc = PersistElement(store, existing);
            if (rc != ERROR_SUCCESS) {
                existing->Props = previous;
                return Fail(static_cast<DWORD>(rc));
            }
        }
        if (ppStoreContext) {
            AddRef(existing);
            *ppStoreContext = &existing->Context;
        }
        return TRUE;
    }

    // A registry store holds one entry per certificate: adding "always" replaces the entry, as it does
    // on Windows once the store is read again.
    TCertElement* added = NewElementFromDer(source->Der.data(), static_cast<DWORD>(source->Der.size()));
    if (!added) return Fail(static_cast<DWORD>(E_OUTOFMEMORY));
    added->Props = source->Props;
    if (existing && dwAddDisposition == CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES)
        for (const auto& prop : existing->Props)
            added->Props.insert(prop);
    added->Context.dwCertEncodingType = source->Context.dwCertEncodingType;
    added->Context.hCertStore = store;
    added->Store = store;
    if (existing) added->RegKeyName = existing->RegKeyName;
    LONG rc = PersistElement(store, added);
    if (rc != ERROR_SUCCESS) {
        delete added;
        return Fail(static_cast<DWORD>(rc));
    }
    Register(added);
    if (existing) {
        existing->Deleted = true;
        if (existing->Refs == 0) {
            store->Elements.erase(std::remove(store->Elements.begin(), store->Elements.end(), existing),
                                  store->Elements.end());
            Destroy(existing);
        }
    }
    store->Elements.push_back(added);
    if (ppStoreContext) {
        AddRef(added);
        *ppStoreContext = &added->Context;
    }
    return TRUE;
}

BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                             const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                             DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext) {
    if (ppCertContext) *ppCertContext = nullptr;
    PCCERT_CONTEXT created = CertCreateCertificateContext(dwCertEncodingType, pbCertEncoded, cbCertEncoded);
    if (!created) return FALSE;
    BOOL result = CertAddCertificateContextToStore(hCertStore, created, dwAddDisposition, ppCertContext);
    DWORD error = GetLastError();
    CertFreeCertificateContext(created);
    SetLastError(error);
    return result;
}

BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    TCertElement* e = AsElement(pCertContext);
    if (!e) return Fail(static_cast<DWORD>(E_INVALIDARG));
    BOOL result = TRUE;
    DWORD error = ERROR_SUCCESS;
    TCertStore* store = e->Store;
    if (store && !e->Deleted) {
        if (store->ReadOnly) {
            result = FALSE;
            error = static_cast<DWORD>(E_ACCESSDENIED);
        } else {
            LONG rc = UnpersistElement(store, e);
            if (rc != ERROR_SUCCESS) {
                result = FALSE;
                error = static_cast<DWORD>(rc);
            } else {
                e->Deleted = true;
            }
        }
    }
    // The context passed in is always released, as on Windows.
    Release(e);
    if (!result) SetLastError(error);
    return result;
}

BOOL WINAPI CertCompareIntegerBlob(PCRYPT_INTEGER_BLOB pInt1, PCRYPT_INTEGER_BLOB pInt2) {
    if (!pInt1 || !pInt2 || (pInt1->cbData && !pInt1->pbData) || (pInt2->cbData && !pInt2->pbData))
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    // Little-endian two's complement: sign bytes at the end carry no value.
    auto significant = [](const CRYPT_INTEGER_BLOB* b) {
        DWORD len = b->cbData;
        while (len > 1 && ((b->pbData[len - 1] == 0x00 && !(b->pbData[len - 2] & 0x80)) ||
                           (b->pbData[len - 1] == 0xFF && (b->pbData[len - 2] & 0x80))))
            --len;
        return len;
    };
    DWORD len1 = significant(pInt1), len2 = significant(pInt2);
    return len1 == len2 && (len1 == 0 || memcmp(pInt1->pbData, pInt2->pbData, len1) == 0);
}

BOOL WINAPI CertCompareCertificate(DWORD dwCertEncodingType, PCERT_INFO pCertId1, PCERT_INFO pCertId2) {
    (void)dwCertEncodingType;
    if (!pCertId1 || !pCertId2) return Fail(static_cast<DWORD>(E_INVALIDARG));
    const CERT_NAME_BLOB& a = pCertId1->Issuer;
    const CERT_NAME_BLOB& b = pCertId2->Issuer;
    if (a.cbData != b.cbData ||
        (a.cbData && (!a.pbData || !b.pbData || memcmp(a.pbData, b.pbData, a.cbData) != 0)))
        return FALSE;
    return CertCompareIntegerBlob(&pCertId1->SerialNumber, &pCertId2->SerialNumber);
}
}

void osCertStoreShutdown() {
    std::lock_guard<std::recursive_mutex> guard(Lock());
    delete gLiveStores;
    gLiveStores = nullptr;
    delete gLiveElements;
    gLiveElements = nullptr;
}
