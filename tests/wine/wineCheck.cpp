#include "wineCheck.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

void TWineReport::Report(const char* verdict, const char* name, const char* fmt, va_list args) {
    printf("%s %s/%s", verdict, Phase, name);
    if (fmt && strstr(verdict, "FAIL")) {
        char detail[1024];
        vsnprintf(detail, sizeof(detail), fmt, args);
        printf(": %s", detail);
    }
    printf("\n");
    fflush(stdout);
}

bool TWineReport::Check(const char* name, bool ok, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    if (ok)
        ++passed;
    else
        ++failed;
    Report(ok ? "PASS" : "FAIL", name, fmt, args);
    va_end(args);
    return ok;
}

bool TWineReport::Compat(const char* name, bool ok, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const char* verdict;
    if (ok) {
        ++passed;
        verdict = CompatRequired ? "PASS" : "XPASS";
    } else if (CompatRequired) {
        ++failed;
        verdict = "FAIL";
    } else {
        ++expectedFailures;
        verdict = "XFAIL";
    }
    Report(verdict, name, fmt, args);
    va_end(args);
    return ok;
}

void TWineReport::Note(const char* fmt, ...) {
    char text[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    printf("NOTE %s/%s\n", Phase, text);
    fflush(stdout);
}

int TWineReport::Finish() {
    if (expectedFailures)
        printf("%s: %d passed, %d failed, %d expected failures\n", Phase, passed, failed, expectedFailures);
    else
        printf("%s: %d passed, %d failed\n", Phase, passed, failed);
    fflush(stdout);
    return failed == 0 && passed + expectedFailures > 0 ? 0 : 1;
}

std::string LastErrorText(DWORD error) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(error));
    return text;
}

bool ReadFileBytes(const std::string& path, std::vector<BYTE>& data) {
    data.clear();
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return false;
    BYTE chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0)
        data.insert(data.end(), chunk, chunk + got);
    bool ok = !ferror(file);
    fclose(file);
    return ok;
}

bool WriteFileBytes(const std::string& path, const BYTE* data, size_t len) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return false;
    bool ok = fwrite(data, 1, len, file) == len;
    return fclose(file) == 0 && ok;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    char last = dir[dir.size() - 1];
    return last == '\\' || last == '/' ? dir + name : dir + "\\" + name;
}

std::string ToUpper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string HexText(const BYTE* data, size_t len) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < len; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

bool GetKeyBytes(HCRYPTKEY key, DWORD param, std::vector<BYTE>& value) {
    DWORD len = 0;
    if (!CryptGetKeyParam(key, param, nullptr, &len, 0)) return false;
    value.resize(len);
    if (!CryptGetKeyParam(key, param, value.data(), &len, 0)) return false;
    value.resize(len);
    return true;
}

bool ExportPublicKey(HCRYPTKEY key, std::vector<BYTE>& blob) {
    DWORD len = 0;
    if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &len)) return false;
    blob.resize(len);
    if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &len)) return false;
    blob.resize(len);
    return true;
}

bool SignDigest(HCRYPTPROV prov, DWORD keySpec, ALG_ID alg, const std::vector<BYTE>& digest,
                std::vector<BYTE>& signature, DWORD* error, DWORD flags) {
    HCRYPTHASH hash = 0;
    DWORD len = 0;
    bool ok = CryptCreateHash(prov, alg, 0, 0, &hash) &&
              CryptSetHashParam(hash, HP_HASHVAL, digest.data(), 0) &&
              CryptSignHashA(hash, keySpec, nullptr, flags, nullptr, &len);
    if (ok) {
        signature.resize(len);
        ok = CryptSignHashA(hash, keySpec, nullptr, flags, signature.data(), &len);
        signature.resize(len);
    }
    *error = ok ? 0 : GetLastError();
    if (hash) CryptDestroyHash(hash);
    return ok;
}

bool GetKeyDword(HCRYPTKEY key, DWORD param, DWORD& value) {
    std::vector<BYTE> bytes;
    if (!GetKeyBytes(key, param, bytes) || bytes.size() != sizeof(value)) return false;
    memcpy(&value, bytes.data(), sizeof(value));
    return true;
}

std::vector<BYTE> Reversed(std::vector<BYTE> data) {
    std::reverse(data.begin(), data.end());
    return data;
}

bool PemToDer(const std::vector<BYTE>& pem, std::vector<BYTE>& der) {
    std::string text(pem.begin(), pem.end());
    DWORD len = 0;
    if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER,
                              nullptr, &len, nullptr, nullptr))
        return false;
    der.resize(len);
    if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER,
                              der.data(), &len, nullptr, nullptr))
        return false;
    der.resize(len);
    return len > 0;
}

bool SystemDigest(ALG_ID alg, const std::vector<BYTE>& data, std::vector<BYTE>& digest) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return false;
    HCRYPTHASH hash = 0;
    bool ok = false;
    if (CryptCreateHash(prov, alg, 0, 0, &hash)) {
        DWORD len = 0, size = sizeof(len);
        if (CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0) &&
            CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&len), &size, 0)) {
            digest.resize(len);
            ok = CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &len, 0) && len == digest.size();
        }
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(prov, 0);
    return ok;
}

bool SystemVerify(ALG_ID alg, const std::vector<BYTE>& digest, const std::vector<BYTE>& publicKeyBlob,
                  const std::vector<BYTE>& signature, DWORD* error) {
    *error = 0;
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        *error = GetLastError();
        return false;
    }
    HCRYPTKEY key = 0;
    HCRYPTHASH hash = 0;
    bool ok =
        CryptImportKey(prov, publicKeyBlob.data(), static_cast<DWORD>(publicKeyBlob.size()), 0, 0, &key) &&
        CryptCreateHash(prov, alg, 0, 0, &hash) && CryptSetHashParam(hash, HP_HASHVAL, digest.data(), 0) &&
        CryptVerifySignatureA(hash, signature.data(), static_cast<DWORD>(signature.size()), key, nullptr, 0);
    if (!ok) *error = GetLastError();
    if (hash) CryptDestroyHash(hash);
    if (key) CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    return ok;
}

HCERTSTORE OpenPersonalStore() {
    return CertOpenSystemStoreA(0, "MY");
}

PCCERT_CONTEXT FindCertificate(HCERTSTORE store, const std::vector<BYTE>& der, int* count) {
    *count = 0;
    PCCERT_CONTEXT found = nullptr;
    PCCERT_CONTEXT walk = nullptr;
    while ((walk = CertEnumCertificatesInStore(store, walk)) != nullptr) {
        if (walk->cbCertEncoded == der.size() && memcmp(walk->pbCertEncoded, der.data(), der.size()) == 0) {
            ++*count;
            if (!found) found = CertDuplicateCertificateContext(walk);
        }
    }
    return found;
}

int CountInPersonalStore(const std::vector<BYTE>& der) {
    HCERTSTORE store = OpenPersonalStore();
    if (!store) return -1;
    int count = 0;
    PCCERT_CONTEXT found = FindCertificate(store, der, &count);
    if (found) CertFreeCertificateContext(found);
    CertCloseStore(store, 0);
    return count;
}

std::vector<BYTE> KeyProvInfoOf(PCCERT_CONTEXT cert) {
    std::vector<BYTE> info;
    DWORD len = 0;
    if (cert && CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &len)) {
        info.resize(len);
        if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, info.data(), &len))
            info.clear();
    }
    return info;
}

std::string WideToText(const wchar_t* text) {
    std::string out;
    for (; text && *text; ++text)
        out += static_cast<char>(*text);
    return out;
}

void PreloadSystemLibraries() {
    static const char* const names[] = {"advapi32.dll", "crypt32.dll", "bcrypt.dll",
                                        "user32.dll",   "ole32.dll",   "oleaut32.dll",
                                        "oleacc.dll",   "version.dll", "ws2_32.dll"};
    for (const char* name : names)
        LoadLibraryA(name);
}

bool ReadCertAndMessage(TWineReport& report, const TWineOptions& options, std::vector<BYTE>& der,
                        std::vector<BYTE>& message) {
    std::vector<BYTE> pem;
    return report.Check("ReadInputs",
                        ReadFileBytes(options.CertFile, pem) && PemToDer(pem, der) &&
                            ReadFileBytes(options.MsgFile, message),
                        "cannot read %s or %s", options.CertFile.c_str(), options.MsgFile.c_str());
}

PCCERT_CONTEXT FindInstalledCertificate(TWineReport& report, const std::vector<BYTE>& der,
                                        HCERTSTORE* store) {
    *store = OpenPersonalStore();
    if (!report.Check("OpenPersonalStore", *store != nullptr, "error %s",
                      LastErrorText(GetLastError()).c_str()))
        return nullptr;
    int count = 0;
    PCCERT_CONTEXT cert = FindCertificate(*store, der, &count);
    report.Check("FindCertificate", cert != nullptr, "not in MY");
    return cert;
}
