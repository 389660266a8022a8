// Certificate elements of the certificate-store stand-in: decoding a certificate into the CERT_INFO
// fields CryptoAPI gives, and the persisted form of an element with its properties.
#include "os/posix/certstoreInternal.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>

namespace lucert {

namespace {

const DWORD kKeyProvHeader = 7 * 4;
const DWORD kKeyProvParam = 4 * 4;
const DWORD kMaxWideChars = 32768;

void PutDword(Bytes& out, DWORD value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<BYTE>(value >> (8 * i)));
}

DWORD GetDword(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
           (static_cast<DWORD>(p[3]) << 24);
}

void SetDword(Bytes& out, size_t pos, DWORD value) {
    for (int i = 0; i < 4; ++i)
        out[pos + static_cast<size_t>(i)] = static_cast<BYTE>(value >> (8 * i));
}

// Length in units of a zero-terminated wide text, or false when it has none within the limit.
bool WideLen(const WCHAR* s, DWORD& len) {
    for (len = 0; len < kMaxWideChars; ++len)
        if (s[len] == 0) return true;
    return false;
}

// Units of a zero-terminated UTF-16LE text at off; false when it runs past the end.
bool PersistedWideLen(const Bytes& data, DWORD off, DWORD& len) {
    for (len = 0;; ++len) {
        size_t at = static_cast<size_t>(off) + 2u * len;
        if (at + 2 > data.size() || len >= kMaxWideChars) return false;
        if (data[at] == 0 && data[at + 1] == 0) return true;
    }
}

// Content octets of a DER TLV at the start of der (tag, then a short or long form length).
bool DerContent(const BYTE* der, size_t len, size_t& contentPos, size_t& contentLen) {
    if (len < 2) return false;
    size_t pos = 1;
    BYTE first = der[pos++];
    size_t value = first;
    if (first & 0x80) {
        size_t count = first & 0x7F;
        if (count == 0 || count > 4 || pos + count > len) return false;
        value = 0;
        for (size_t i = 0; i < count; ++i)
            value = (value << 8) | der[pos++];
    }
    if (value > len - pos) return false;
    contentPos = pos;
    contentLen = value;
    return true;
}

// The parameters of an AlgorithmIdentifier: what follows the OID inside the SEQUENCE.
void AlgorithmParts(const X509_ALGOR* alg, std::string& oid, Bytes& params) {
    const ASN1_OBJECT* obj = nullptr;
    X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
    char text[128] = {0};
    if (obj) OBJ_obj2txt(text, sizeof(text), obj, 1);
    oid = text;
    params.clear();
    unsigned char* der = nullptr;
    int len = i2d_X509_ALGOR(alg, &der);
    size_t seqPos = 0, seqLen = 0, oidPos = 0, oidLen = 0;
    if (len > 0 && DerContent(der, static_cast<size_t>(len), seqPos, seqLen) &&
        DerContent(der + seqPos, seqLen, oidPos, oidLen)) {
        size_t after = seqPos + oidPos + oidLen;
        size_t end = seqPos + seqLen;
        if (after < end) params.assign(der + after, der + end);
    }
    OPENSSL_free(der);
}

FILETIME ToFileTime(const ASN1_TIME* t) {
    FILETIME ft = {0, 0};
    struct tm tmv;
    memset(&tmv, 0, sizeof(tmv));
    if (!t || !ASN1_TIME_to_tm(t, &tmv)) return ft;
    // Days from 1970-01-01 of the civil date (proleptic Gregorian).
    long long y = tmv.tm_year + 1900LL;
    long long m = tmv.tm_mon + 1;
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    long long yoe = y - era * 400;
    long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + tmv.tm_mday - 1;
    long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    long long days = era * 146097 + doe - 719468;
    long long seconds = (days + 134774LL) * 86400LL + tmv.tm_hour * 3600LL + tmv.tm_min * 60LL + tmv.tm_sec;
    unsigned long long ticks = static_cast<unsigned long long>(seconds) * 10000000ULL;
    ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

Bytes I2dName(const X509_NAME* name) {
    unsigned char* der = nullptr;
    int len = i2d_X509_NAME(const_cast<X509_NAME*>(name), &der);
    Bytes out;
    if (len > 0) out.assign(der, der + len);
    OPENSSL_free(der);
    return out;
}

BYTE* DataOrNull(Bytes& bytes) {
    return bytes.empty() ? nullptr : bytes.data();
}

void FillPointers(TCertElement& e, DWORD encoding) {
    CERT_INFO& info = e.Info;
    info.SerialNumber.cbData = static_cast<DWORD>(e.SerialLE.size());
    info.SerialNumber.pbData = DataOrNull(e.SerialLE);
    info.SignatureAlgorithm.pszObjId = &e.SignatureOid[0];
    info.SignatureAlgorithm.Parameters.cbData = static_cast<DWORD>(e.SignatureParams.size());
    info.SignatureAlgorithm.Parameters.pbData = DataOrNull(e.SignatureParams);
    info.Issuer.cbData = static_cast<DWORD>(e.IssuerDer.size());
    info.Issuer.pbData = DataOrNull(e.IssuerDer);
    info.Subject.cbData = static_cast<DWORD>(e.SubjectDer.size());
    info.Subject.pbData = DataOrNull(e.SubjectDer);
    info.SubjectPublicKeyInfo.Algorithm.pszObjId = &e.KeyOid[0];
    info.SubjectPublicKeyInfo.Algorithm.Parameters.cbData = static_cast<DWORD>(e.KeyParams.size());
    info.SubjectPublicKeyInfo.Algorithm.Parameters.pbData = DataOrNull(e.KeyParams);
    info.SubjectPublicKeyInfo.PublicKey.cbData = static_cast<DWORD>(e.KeyBits.size());
    info.SubjectPublicKeyInfo.PublicKey.pbData = DataOrNull(e.KeyBits);
    info.SubjectPublicKeyInfo.PublicKey.cUnusedBits = 0;
    e.Context.dwCertEncodingType = encoding;
    e.Context.pbCertEncoded = e.Der.data();
    e.Context.cbCertEncoded = static_cast<DWORD>(e.Der.size());
    e.Context.pCertInfo = &e.Info;
    e.Context.hCertStore = nullptr;
}

// Places the pointer form of a persisted CRYPT_KEY_PROV_INFO: the record, its parameter records, the
// two texts, the parameter data. Computes the size only when out is null.
bool LayoutKeyProvInfo(const Bytes& p, BYTE* out, DWORD& size) {
    if (p.size() < kKeyProvHeader || p.size() > 0x100000) return false;
    const BYTE* base = p.data();
    DWORD offContainer = GetDword(base), offProv = GetDword(base + 4);
    DWORD count = GetDword(base + 16), offParams = GetDword(base + 20);
    if (count > 1024) return false;
    if (count > 0 &&
        (offParams < kKeyProvHeader || static_cast<size_t>(offParams) + count * kKeyProvParam > p.size()))
        return false;
    DWORD lenContainer = 0, lenProv = 0;
    if (offContainer && (offContainer < kKeyProvHeader || !PersistedWideLen(p, offContainer, lenContainer)))
        return false;
    if (offProv && (offProv < kKeyProvHeader || !PersistedWideLen(p, offProv, lenProv))) return false;

    size_t pos = sizeof(CRYPT_KEY_PROV_INFO);
    size_t posParams = pos;
    pos += static_cast<size_t>(count) * sizeof(CRYPT_KEY_PROV_PARAM);
    size_t posContainer = pos;
    if (offContainer) pos += (lenContainer + 1u) * sizeof(WCHAR);
    size_t posProv = pos;
    if (offProv) pos += (lenProv + 1u) * sizeof(WCHAR);
    std::vector<size_t> posData(count);
    for (DWORD i = 0; i < count; ++i) {
        const BYTE* rec = base + offParams + i * kKeyProvParam;
        DWORD offData = GetDword(rec + 4), cbData = GetDword(rec + 8);
        if (cbData > 0 && (offData < kKeyProvHeader || static_cast<size_t>(offData) + cbData > p.size()))
            return false;
        posData[i] = pos;
        pos += cbData;
    }
    size = static_cast<DWORD>(pos);
    if (!out) return true;

    memset(out, 0, pos);
    CRYPT_KEY_PROV_INFO* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(out);
    auto copyWide = [&](DWORD off, DWORD len, size_t at) {
        WCHAR* dest = reinterpret_cast<WCHAR*>(out + at);
        for (DWORD i = 0; i < len; ++i)
            dest[i] = static_cast<WCHAR>(base[off + 2 * i] | (base[off + 2 * i + 1] << 8));
        dest[len] = 0;
        return dest;
    };
    info->pwszContainerName = offContainer ? copyWide(offContainer, lenContainer, posContainer) : nullptr;
    info->pwszProvName = offProv ? copyWide(offProv, lenProv, posProv) : nullptr;
    info->dwProvType = GetDword(base + 8);
    info->dwFlags = GetDword(base + 12);
    info->cProvParam = count;
    info->rgProvParam = count ? reinterpret_cast<CRYPT_KEY_PROV_PARAM*>(out + posParams) : nullptr;
    info->dwKeySpec = GetDword(base + 24);
    for (DWORD i = 0; i < count; ++i) {
        const BYTE* rec = base + offParams + i * kKeyProvParam;
        CRYPT_KEY_PROV_PARAM& param = info->rgProvParam[i];
        param.dwParam = GetDword(rec);
        param.cbData = GetDword(rec + 8);
        param.dwFlags = GetDword(rec + 12);
        param.pbData = param.cbData ? out + posData[i] : nullptr;
        if (param.cbData) memcpy(param.pbData, base + GetDword(rec + 4), param.cbData);
    }
    return true;
}

} // namespace

std::string HexUpper(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (BYTE b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

TCertElement* NewElementFromDer(const BYTE* der, DWORD lenDer) {
    if (!der || lenDer == 0) return nullptr;
    const unsigned char* p = der;
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(lenDer));
    if (!x) return nullptr;
    TCertElement* e = new (std::nothrow) TCertElement();
    bool ok = e != nullptr;
    if (ok) {
        e->Der.assign(der, p);
        memset(&e->Context, 0, sizeof(e->Context));
        memset(&e->Info, 0, sizeof(e->Info));
        e->Info.dwVersion = static_cast<DWORD>(X509_get_version(x));

        unsigned char* serialDer = nullptr;
        int lenSerial = i2d_ASN1_INTEGER(const_cast<ASN1_INTEGER*>(X509_get0_serialNumber(x)), &serialDer);
        size_t pos = 0, len = 0;
        ok = lenSerial > 0 && DerContent(serialDer, static_cast<size_t>(lenSerial), pos, len) && len > 0;
        if (ok) e->SerialLE.assign(serialDer + pos, serialDer + pos + len);
        std::reverse(e->SerialLE.begin(), e->SerialLE.end());
        OPENSSL_free(serialDer);

        e->IssuerDer = I2dName(X509_get_issuer_name(x));
        e->SubjectDer = I2dName(X509_get_subject_name(x));
        ok = ok && !e->IssuerDer.empty() && !e->SubjectDer.empty();

        const X509_ALGOR* sigAlg = nullptr;
        X509_get0_signature(nullptr, &sigAlg, x);
        if (sigAlg) AlgorithmParts(sigAlg, e->SignatureOid, e->SignatureParams);
        X509_PUBKEY* pub = X509_get_X509_PUBKEY(x);
        const unsigned char* keyBits = nullptr;
        int lenKeyBits = 0;
        X509_ALGOR* keyAlg = nullptr;
        if (pub && X509_PUBKEY_get0_param(nullptr, &keyBits, &lenKeyBits, &keyAlg, pub)) {
            if (keyAlg) AlgorithmParts(keyAlg, e->KeyOid, e->KeyParams);
            if (keyBits && lenKeyBits > 0) e->KeyBits.assign(keyBits, keyBits + lenKeyBits);
        }
        e->Info.NotBefore = ToFileTime(X509_get0_notBefore(x));
        e->Info.NotAfter = ToFileTime(X509_get0_notAfter(x));

        unsigned char sha1[EVP_MAX_MD_SIZE];
        unsigned int lenSha1 = 0;
        ok = ok && EVP_Digest(e->Der.data(), e->Der.size(), sha1, &lenSha1, EVP_sha1(), nullptr) == 1;
        if (ok) e->Sha1.assign(sha1, sha1 + lenSha1);
        FillPointers(*e, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING);
    }
    X509_free(x);
    if (!ok) {
        delete e;
        return nullptr;
    }
    return e;
}

bool SerializeKeyProvInfo(const CRYPT_KEY_PROV_INFO* info, Bytes& out) {
    out.clear();
    if (!info) return false;
    if (info->cProvParam > 1024 || (info->cProvParam > 0 && !info->rgProvParam)) return false;
    DWORD lenContainer = 0, lenProv = 0;
    if (info->pwszContainerName && !WideLen(info->pwszContainerName, lenContainer)) return false;
    if (info->pwszProvName && !WideLen(info->pwszProvName, lenProv)) return false;
    for (DWORD i = 0; i < info->cProvParam; ++i)
        if (info->rgProvParam[i].cbData > 0x10000 ||
            (info->rgProvParam[i].cbData && !info->rgProvParam[i].pbData))
            return false;

    out.resize(kKeyProvHeader + info->cProvParam * kKeyProvParam, 0);
    auto appendWide = [&](const WCHAR* s, DWORD len) {
        DWORD off = static_cast<DWORD>(out.size());
        for (DWORD i = 0; i <= len; ++i) {
            WCHAR c = i < len ? s[i] : 0;
            out.push_back(static_cast<BYTE>(c & 0xFF));
            out.push_back(static_cast<BYTE>((c >> 8) & 0xFF));
        }
        return off;
    };
    SetDword(out, 0, info->pwszContainerName ? appendWide(info->pwszContainerName, lenContainer) : 0);
    SetDword(out, 4, info->pwszProvName ? appendWide(info->pwszProvName, lenProv) : 0);
    SetDword(out, 8, info->dwProvType);
    SetDword(out, 12, info->dwFlags);
    SetDword(out, 16, info->cProvParam);
    SetDword(out, 20, info->cProvParam ? kKeyProvHeader : 0);
    SetDword(out, 24, info->dwKeySpec);
    for (DWORD i = 0; i < info->cProvParam; ++i) {
        const CRYPT_KEY_PROV_PARAM& param = info->rgProvParam[i];
        size_t rec = kKeyProvHeader + i * kKeyProvParam;
        DWORD off = param.cbData ? static_cast<DWORD>(out.size()) : 0;
        if (param.cbData) out.insert(out.end(), param.pbData, param.pbData + param.cbData);
        SetDword(out, rec, param.dwParam);
        SetDword(out, rec + 4, off);
        SetDword(out, rec + 8, param.cbData);
        SetDword(out, rec + 12, param.dwFlags);
    }
    return true;
}

DWORD KeyProvInfoSize(const Bytes& persisted) {
    DWORD size = 0;
    return LayoutKeyProvInfo(persisted, nullptr, size) ? size : 0;
}

bool ExpandKeyProvInfo(const Bytes& persisted, BYTE* out, DWORD lenOut) {
    DWORD size = 0;
    if (!out || !LayoutKeyProvInfo(persisted, nullptr, size) || lenOut < size) return false;
    return LayoutKeyProvInfo(persisted, out, size);
}

Bytes EncodeBlob(const TCertElement& element) {
    Bytes out;
    for (const auto& prop : element.Props) {
        PutDword(out, prop.first);
        PutDword(out, 1);
        PutDword(out, static_cast<DWORD>(prop.second.size()));
        out.insert(out.end(), prop.second.begin(), prop.second.end());
    }
    PutDword(out, kCertPropId);
    PutDword(out, 1);
    PutDword(out, static_cast<DWORD>(element.Der.size()));
    out.insert(out.end(), element.Der.begin(), element.Der.end());
    return out;
}

TCertElement* DecodeBlob(const Bytes& blob) {
    std::map<DWORD, Bytes> props;
    const Bytes* der = nullptr;
    Bytes derCopy;
    size_t pos = 0;
    while (pos < blob.size()) {
        if (blob.size() - pos < 12) return nullptr;
        DWORD id = GetDword(blob.data() + pos);
        DWORD len = GetDword(blob.data() + pos + 8);
        pos += 12;
        if (len > blob.size() - pos) return nullptr;
        Bytes value(blob.begin() + static_cast<long>(pos), blob.begin() + static_cast<long>(pos + len));
        pos += len;
        if (id == kCertPropId) {
            derCopy = value;
            der = &derCopy;
        } else {
            props[id] = value;
        }
    }
    if (!der) return nullptr;
    TCertElement* e = NewElementFromDer(der->data(), static_cast<DWORD>(der->size()));
    if (!e) return nullptr;
    auto keyProv = props.find(CERT_KEY_PROV_INFO_PROP_ID);
    if (keyProv != props.end() && KeyProvInfoSize(keyProv->second) == 0) props.erase(keyProv);
    e->Props = props;
    return e;
}

} // namespace lucert
