// CryptBinaryToString / CryptStringToBinaryA of CRYPT32 for Linux: Base64 with or without the PEM
// header and footer lines, and plain binary, with CryptoAPI's size conventions.
#include "os/posix/winCertStore.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct THeader {
    DWORD Format;
    const char* Label;
};
const THeader kHeaders[] = {
    {CRYPT_STRING_BASE64HEADER, "CERTIFICATE"},
    {CRYPT_STRING_BASE64REQUESTHEADER, "NEW CERTIFICATE REQUEST"},
    {CRYPT_STRING_BASE64X509CRLHEADER, "X509 CRL"},
};

const char* HeaderLabel(DWORD format) {
    for (const THeader& h : kHeaders)
        if (h.Format == format) return h.Label;
    return nullptr;
}

// The text CryptBinaryToString produces; false for formats it does not know.
bool BuildText(const BYTE* bin, DWORD len, DWORD flags, std::string& out) {
    DWORD format = flags & 0x0000FFFFu;
    const char* eol = (flags & CRYPT_STRING_NOCRLF) ? "" : (flags & CRYPT_STRING_NOCR) ? "\n" : "\r\n";
    const char* label = HeaderLabel(format);
    if (format != CRYPT_STRING_BASE64 && !label) return false;
    out.clear();
    if (label) out = std::string("-----BEGIN ") + label + "-----" + eol;
    int lineChars = 0;
    for (DWORD i = 0; i < len; i += 3) {
        DWORD chunk = (static_cast<DWORD>(bin[i]) << 16) |
                      (i + 1 < len ? static_cast<DWORD>(bin[i + 1]) << 8 : 0) |
                      (i + 2 < len ? bin[i + 2] : 0);
        char quad[4] = {kAlphabet[(chunk >> 18) & 63], kAlphabet[(chunk >> 12) & 63],
                        i + 1 < len ? kAlphabet[(chunk >> 6) & 63] : '=',
                        i + 2 < len ? kAlphabet[chunk & 63] : '='};
        out.append(quad, 4);
        lineChars += 4;
        if (lineChars == 64) {
            out += eol;
            lineChars = 0;
        }
    }
    if (lineChars) out += eol;
    if (label) out += std::string("-----END ") + label + "-----" + eol;
    return true;
}

template <typename TChar>
BOOL BinaryToString(const BYTE* bin, DWORD len, DWORD flags, TChar* text, DWORD* pcch) {
    if ((!bin && len) || !pcch) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    if ((flags & 0xFFFFu) == CRYPT_STRING_BINARY) {
        if (!text) {
            *pcch = len;
            return TRUE;
        }
        if (*pcch < len) {
            *pcch = len;
            SetLastError(ERROR_MORE_DATA);
            return FALSE;
        }
        if (sizeof(TChar) != 1) {
            SetLastError(static_cast<DWORD>(E_INVALIDARG));
            return FALSE;
        }
        if (len) memcpy(text, bin, len);
        *pcch = len;
        return TRUE;
    }
    std::string built;
    if (!BuildText(bin, len, flags, built)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    DWORD needed = static_cast<DWORD>(built.size()) + 1;
    if (!text) {
        *pcch = needed;
        return TRUE;
    }
    if (*pcch < needed) {
        *pcch = needed;
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    for (size_t i = 0; i < built.size(); ++i)
        text[i] = static_cast<TChar>(static_cast<unsigned char>(built[i]));
    text[built.size()] = 0;
    *pcch = needed - 1;
    return TRUE;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Base64 with white space anywhere and optional "=" padding at the end.
bool DecodeBase64(const char* text, size_t len, std::vector<BYTE>& out) {
    out.clear();
    DWORD acc = 0;
    int bits = 0, chars = 0, padding = 0;
    for (size_t i = 0; i < len; ++i) {
        char c = text[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        int v = Base64Value(c);
        if (v < 0 || padding) return false;
        acc = (acc << 6) | static_cast<DWORD>(v);
        bits += 6;
        ++chars;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<BYTE>((acc >> bits) & 0xFF));
        }
    }
    if (chars % 4 == 1 || padding > 2) return false;
    if (padding && (chars + padding) % 4 != 0) return false;
    return true;
}

// Finds "-----BEGIN <label>-----" ... "-----END"; skip is where the header starts.
bool FindHeaderBody(const char* text, size_t len, DWORD format, size_t& skip, size_t& bodyPos,
                    size_t& bodyLen) {
    std::string s(text, len);
    const char* label = format == CRYPT_STRING_BASE64HEADER ? nullptr : HeaderLabel(format);
    size_t begin = s.find("-----BEGIN ");
    if (begin == std::string::npos) return false;
    size_t labelEnd = s.find("-----", begin + 11);
    if (labelEnd == std::string::npos) return false;
    if (label && s.compare(begin + 11, labelEnd - (begin + 11), label) != 0) return false;
    size_t end = s.find("-----END", labelEnd + 5);
    if (end == std::string::npos) return false;
    skip = begin;
    bodyPos = labelEnd + 5;
    bodyLen = end - bodyPos;
    return true;
}

} // namespace

extern "C" {

BOOL WINAPI CryptBinaryToStringA(const BYTE* pbBinary, DWORD cbBinary, DWORD dwFlags, LPSTR pszString,
                                 DWORD* pcchString) {
    return BinaryToString(pbBinary, cbBinary, dwFlags, pszString, pcchString);
}

BOOL WINAPI CryptBinaryToStringW(const BYTE* pbBinary, DWORD cbBinary, DWORD dwFlags, LPWSTR pszString,
                                 DWORD* pcchString) {
    return BinaryToString(pbBinary, cbBinary, dwFlags, pszString, pcchString);
}

BOOL WINAPI CryptStringToBinaryA(LPCSTR pszString, DWORD cchString, DWORD dwFlags, BYTE* pbBinary,
                                 DWORD* pcbBinary, DWORD* pdwSkip, DWORD* pdwFlags) {
    if (!pszString || !pcbBinary) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    size_t len = cchString ? cchString : strlen(pszString);
    std::vector<BYTE> decoded;
    size_t skip = 0;
    DWORD used = 0;
    bool ok = false;

    auto tryHeader = [&](DWORD format) {
        size_t bodyPos = 0, bodyLen = 0;
        if (!FindHeaderBody(pszString, len, format, skip, bodyPos, bodyLen)) return false;
        if (!DecodeBase64(pszString + bodyPos, bodyLen, decoded)) return false;
        used = format;
        return true;
    };
    auto tryPlain = [&]() {
        skip = 0;
        if (!DecodeBase64(pszString, len, decoded)) return false;
        used = CRYPT_STRING_BASE64;
        return true;
    };

    switch (dwFlags) {
    case CRYPT_STRING_BASE64HEADER:
    case CRYPT_STRING_BASE64REQUESTHEADER:
    case CRYPT_STRING_BASE64X509CRLHEADER:
        ok = tryHeader(dwFlags);
        break;
    case CRYPT_STRING_BASE64:
        ok = tryPlain();
        break;
    case CRYPT_STRING_BINARY:
        decoded.assign(reinterpret_cast<const BYTE*>(pszString),
                       reinterpret_cast<const BYTE*>(pszString) + len);
        used = CRYPT_STRING_BINARY;
        ok = true;
        break;
    case CRYPT_STRING_BASE64_ANY:
        ok = tryHeader(CRYPT_STRING_BASE64HEADER) || tryPlain();
        break;
    case CRYPT_STRING_ANY:
        ok = tryHeader(CRYPT_STRING_BASE64HEADER) || tryPlain();
        if (!ok) {
            decoded.assign(reinterpret_cast<const BYTE*>(pszString),
                           reinterpret_cast<const BYTE*>(pszString) + len);
            used = CRYPT_STRING_BINARY;
            skip = 0;
            ok = true;
        }
        break;
    default:
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    if (!ok) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    DWORD needed = static_cast<DWORD>(decoded.size());
    if (pbBinary) {
        if (*pcbBinary < needed) {
            *pcbBinary = needed;
            SetLastError(ERROR_MORE_DATA);
            return FALSE;
        }
        if (needed) memcpy(pbBinary, decoded.data(), needed);
    }
    *pcbBinary = needed;
    if (pdwSkip) *pdwSkip = static_cast<DWORD>(skip);
    if (pdwFlags) *pdwFlags = used;
    return TRUE;
}
}
