// The key storage provider DLL driven through its function table as ncrypt.dll drives it (Wine's ncrypt
// loads no third-party KSP), replaying the call orders of the CNG clients (see tests/dll/kspDriverTests
// for their sources). The signatures go big-endian into the output folder; the acceptance script checks
// them with OpenSSL.
#include "os/platNCrypt.h"
#include "wineCheck.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

struct TKsp {
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* T = nullptr;
    NCRYPT_PROV_HANDLE Prov = 0;
    NCRYPT_KEY_HANDLE Key = 0;
};

std::wstring Wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

SECURITY_STATUS Dword(TKsp& k, const wchar_t* name, DWORD* value) {
    DWORD got = 0;
    return k.T->GetKeyProperty(k.Prov, k.Key, name, reinterpret_cast<PBYTE>(value), sizeof(*value), &got, 0);
}

// Size query, then the signature (Chromium's order); or straight into a buffer of the key's size (.NET's).
SECURITY_STATUS Sign(TKsp& k, void* info, std::vector<BYTE> hash, DWORD flags, bool sizeFirst, DWORD keyBytes,
                     std::vector<BYTE>& sig) {
    DWORD size = keyBytes;
    SECURITY_STATUS s = 0;
    if (sizeFirst)
        s = k.T->SignHash(k.Prov, k.Key, info, hash.data(), static_cast<DWORD>(hash.size()), nullptr, 0,
                          &size, flags);
    if (s != 0) return s;
    sig.assign(size, 0);
    s = k.T->SignHash(k.Prov, k.Key, info, hash.data(), static_cast<DWORD>(hash.size()), sig.data(), size,
                      &size, flags);
    sig.resize(size);
    return s;
}

} // namespace

// After "lucsp register --provider ksp": crypt32 shows key-provider information that names the KSP with
// provider type and dwKeySpec 0, as CNG clients expect, and the CSP still opens the container.
int RunKspCertPhase(const TWineOptions& options) {
    TWineReport report("kspcert", options.CompatRequired);
    std::vector<BYTE> der, message;
    if (!ReadCertAndMessage(report, options, der, message)) return report.Finish();
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT cert = FindInstalledCertificate(report, der, &store);
    std::vector<BYTE> info = KeyProvInfoOf(cert);
    if (report.Check("KeyProviderInfo", !info.empty(), "no CERT_KEY_PROV_INFO_PROP_ID")) {
        const CRYPT_KEY_PROV_INFO* prov = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(info.data());
        std::string name = WideToText(prov->pwszProvName), container = WideToText(prov->pwszContainerName);
        report.Check("KeyProviderName", name == "Varno Key Storage Provider Server", "provider [%s]",
                     name.c_str());
        report.Check("KeyProviderType", prov->dwProvType == 0, "type %lu",
                     static_cast<unsigned long>(prov->dwProvType));
        report.Check("KeyProviderKeySpec", prov->dwKeySpec == 0, "dwKeySpec %lu",
                     static_cast<unsigned long>(prov->dwKeySpec));
        report.Check("KeyProviderContainer", container == options.Serial, "container [%s]",
                     container.c_str());
    }
    if (cert) CertFreeCertificateContext(cert);
    if (store) CertCloseStore(store, 0);
    HCRYPTPROV prov = 0;
    BOOL acquired =
        CryptAcquireContextA(&prov, options.Serial.c_str(), LUCSP_PROVIDER_NAME, PROV_RSA_FULL, CRYPT_SILENT);
    report.Check("CspOpensKspContainer", acquired != FALSE, "error %s",
                 LastErrorText(GetLastError()).c_str());
    if (acquired) CryptReleaseContext(prov, 0);
    return report.Finish();
}

int RunKspPhase(const TWineOptions& options) {
    TWineReport report("ksp", options.CompatRequired);
    PreloadSystemLibraries();
    HMODULE module = LoadLibraryA("Varno_LUKSP_Server.dll");
    if (!report.Check("LoadLibrary", module != nullptr, "error %s", LastErrorText(GetLastError()).c_str()))
        return report.Finish();
    // Undecorated also in the 32-bit DLL: ncrypt asks for the plain name.
    auto get = reinterpret_cast<GetKeyStorageInterfaceFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "GetKeyStorageInterface")));
    TKsp k;
    if (!report.Check("GetKeyStorageInterface",
                      get && get(L"Varno Key Storage Provider Server", &k.T, 0) == 0 && k.T))
        return report.Finish();
    void* const* entries = reinterpret_cast<void* const*>(&k.T->OpenProvider);
    int nulls = 0;
    for (int i = 0; i < LU_NCRYPT_TABLE_ENTRIES; ++i)
        nulls += entries[i] == nullptr;
    report.Check("TableVersion", k.T->Version.MajorVersion == 1 && k.T->Version.MinorVersion == 0, "%u.%u",
                 k.T->Version.MajorVersion, k.T->Version.MinorVersion);
    report.Check("TableEntries", nulls == 0, "%d null", nulls);

    std::vector<BYTE> message, sha1, sha256, sha384, md5;
    if (!report.Check("Message", ReadFileBytes(options.MsgFile, message) &&
                                     SystemDigest(CALG_SHA1, message, sha1) &&
                                     SystemDigest(CALG_SHA_256, message, sha256) &&
                                     SystemDigest(CALG_SHA_384, message, sha384) &&
                                     SystemDigest(CALG_MD5, message, md5)))
        return report.Finish();
    const std::wstring serial = Wide(options.Serial);

    // .NET: CngKey.Open (dwKeySpec 0, silent), "Algorithm Group", the absent "CLR IsEphemeral",
    // "PublicKeyLength" then "Length"; RSACng.SignHash into a buffer of the key's size; ExportParameters.
    report.Check("dotnet/OpenProvider",
                 k.T->OpenProvider(&k.Prov, L"Varno Key Storage Provider Server", 0) == 0);
    report.Check("dotnet/OpenKey", k.T->OpenKey(k.Prov, &k.Key, serial.c_str(), 0, NCRYPT_SILENT_FLAG) == 0);
    wchar_t group[8] = {};
    DWORD got = 0, bits = 0, length = 0;
    report.Check("dotnet/AlgorithmGroup",
                 k.T->GetKeyProperty(k.Prov, k.Key, L"Algorithm Group", reinterpret_cast<PBYTE>(group),
                                     sizeof(group), &got, 0) == 0 &&
                     !wcscmp(group, L"RSA"));
    BYTE flag = 0;
    report.Check("dotnet/AbsentIsNotFound",
                 k.T->GetKeyProperty(k.Prov, k.Key, L"CLR IsEphemeral", &flag, 1, &got, 0) == NTE_NOT_FOUND);
    report.Check("dotnet/KeySize",
                 Dword(k, L"PublicKeyLength", &bits) == 0 && Dword(k, L"Length", &length) == 0 &&
                     bits == length && bits >= 1024,
                 "%lu/%lu", static_cast<unsigned long>(bits), static_cast<unsigned long>(length));
    const DWORD keyBytes = bits / 8;
    const struct {
        const char* File;
        DWORD Flags;
        const wchar_t* Alg;
        const std::vector<BYTE>* Hash;
        ULONG Salt;
        bool SizeFirst;
    } kSigns[] = {
        {"ksp_pkcs1_sha256.bin", BCRYPT_PAD_PKCS1, L"SHA256", &sha256, 0, false},
        {"ksp_pss_sha256.bin", BCRYPT_PAD_PSS, L"SHA256", &sha256, 32, false},
        {"ksp_pss_sha384.bin", BCRYPT_PAD_PSS, L"SHA384", &sha384, 48, false},
        // Chromium (TLS 1.3 PSS, TLS 1.2 PKCS #1, TLS 1.0 MD5+SHA-1), size first.
        {"ksp_pss0_sha256.bin", BCRYPT_PAD_PSS, L"SHA256", &sha256, 0, true},
        {"ksp_pkcs1_sha1.bin", BCRYPT_PAD_PKCS1, L"SHA1", &sha1, 0, true},
        {"ksp_md5sha1.bin", BCRYPT_PAD_PKCS1, nullptr, nullptr, 0, true},
    };
    std::vector<BYTE> md5sha1 = md5;
    md5sha1.insert(md5sha1.end(), sha1.begin(), sha1.end());
    for (const auto& c : kSigns) {
        BCRYPT_PKCS1_PADDING_INFO pkcs1{c.Alg};
        BCRYPT_PSS_PADDING_INFO pss{c.Alg, c.Salt};
        void* info = c.Flags == BCRYPT_PAD_PSS ? static_cast<void*>(&pss) : static_cast<void*>(&pkcs1);
        const std::vector<BYTE>& hash = c.Hash ? *c.Hash : md5sha1;
        std::vector<BYTE> sig;
        SECURITY_STATUS s = Sign(k, info, hash, c.Flags, c.SizeFirst, keyBytes, sig);
        if (!report.Check(c.File, s == 0 && sig.size() == keyBytes, "status 0x%08lX",
                          static_cast<unsigned long>(s)))
            continue;
        WriteFileBytes(JoinPath(options.OutDir, c.File), sig.data(), sig.size());
        std::vector<BYTE> h = hash;
        report.Check((std::string(c.File) + "/Verify").c_str(),
                     k.T->VerifySignature(k.Prov, k.Key, info, h.data(), static_cast<DWORD>(h.size()),
                                          sig.data(), static_cast<DWORD>(sig.size()), c.Flags) == 0);
    }
    DWORD size = 0;
    std::vector<BYTE> blob(4096);
    if (report.Check("dotnet/ExportRsaPublicBlob",
                     k.T->ExportKey(k.Prov, k.Key, 0, L"RSAPUBLICBLOB", nullptr, blob.data(),
                                    static_cast<DWORD>(blob.size()), &size, 0) == 0))
        WriteFileBytes(JoinPath(options.OutDir, "ksp_rsapublic.blob"), blob.data(), size);

    // Refused: a raw private-key operation, decryption, an unknown container.
    std::vector<BYTE> raw(keyBytes, 1), out(keyBytes);
    report.Check("refuse/NoPadding", k.T->SignHash(k.Prov, k.Key, nullptr, raw.data(), keyBytes, out.data(),
                                                   keyBytes, &size, NCRYPT_NO_PADDING_FLAG) == NTE_BAD_FLAGS);
    report.Check("refuse/Decrypt", k.T->Decrypt(k.Prov, k.Key, raw.data(), keyBytes, nullptr, out.data(),
                                                keyBytes, &size, 0) == NTE_NOT_SUPPORTED);
    NCRYPT_KEY_HANDLE none = 0;
    report.Check("refuse/UnknownKey", k.T->OpenKey(k.Prov, &none, L"00DEADBEEF", 0, 0) == NTE_BAD_KEYSET);

    // signtool: the provider freed before the key it still signs with.
    report.Check("signtool/FreeProviderFirst", k.T->FreeProvider(k.Prov) == 0);
    std::vector<BYTE> sig;
    BCRYPT_PKCS1_PADDING_INFO pkcs1{L"SHA256"};
    report.Check("signtool/SignAfterFree",
                 Sign(k, &pkcs1, sha256, BCRYPT_PAD_PKCS1, true, keyBytes, sig) == 0);
    report.Check("signtool/FreeKey", k.T->FreeKey(k.Prov, k.Key) == 0);

    // certutil: the keys enumerated, each name and the state freed.
    report.Check("certutil/OpenProvider",
                 k.T->OpenProvider(&k.Prov, L"Varno Key Storage Provider Server", 0) == 0);
    PVOID state = nullptr;
    NCryptKeyName* name = nullptr;
    bool found = false;
    SECURITY_STATUS s;
    while ((s = k.T->EnumKeys(k.Prov, nullptr, &name, &state, 0)) == 0) {
        found = found || serial == name->pszName;
        k.T->FreeBuffer(name);
    }
    k.T->FreeBuffer(state);
    report.Check("certutil/EnumKeys", found && s == NTE_NO_MORE_ITEMS, "status 0x%08lX",
                 static_cast<unsigned long>(s));
    report.Check("certutil/FreeProvider", k.T->FreeProvider(k.Prov) == 0);
    return report.Finish();
}
