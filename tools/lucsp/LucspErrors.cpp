#include "LucspErrors.h"

#include "platform/platNSTATUS.h"

#include <cstdio>

namespace {

struct TNamedCode {
    uint32_t Code;
    const char* Name;
    const char* Text;
};

// HRESULTs outside the status table that the certificate store and the exports can hand back.
const TNamedCode kHResults[] = {
    {0x80004001u, "E_NOTIMPL", "Not implemented"},
    {0x80004005u, "E_FAIL", "Unspecified error"},
    {0x8000FFFFu, "E_UNEXPECTED", "Catastrophic failure"},
    {0x80092004u, "CRYPT_E_NOT_FOUND", "Cannot find object or property."},
    {0x80092005u, "CRYPT_E_EXISTS", "The object or property already exists."},
    {0x8009200Fu, "CRYPT_E_PENDING_CLOSE", "Final closure is pending until additional frees or closes."},
    {0x80093102u, "CRYPT_E_ASN1_EOD", "ASN1 unexpected end of data."},
    {0x8009310Bu, "CRYPT_E_ASN1_BADTAG", "ASN1 bad tag value met."},
    {0x800B0101u, "CERT_E_EXPIRED",
     "A required certificate is not within its validity period when verifying against the current system "
     "clock or the timestamp in the signed file."},
    {0x800B0109u, "CERT_E_UNTRUSTEDROOT",
     "A certificate chain processed, but terminated in a root certificate which is not trusted by the trust "
     "provider."},
    {0x80090326u, "SEC_E_ILLEGAL_MESSAGE", "The message received was unexpected or badly formatted."},
    // The provider's failure classes (CSP_Compatibility 1).
    {0x8010000Cu, "SCARD_E_NO_SMARTCARD",
     "The operation requires a smart card, but no smart card is currently in the device."},
    {0x80100017u, "SCARD_E_READER_UNAVAILABLE", "The specified reader is not currently available for use."},
    {0x8010001Fu, "SCARD_E_UNEXPECTED", "An unexpected card error has occurred."},
    {0x8010002Fu, "SCARD_E_COMM_DATA_LOST", "A communications error with the smart card has been detected."},
    {0x8010006Bu, "SCARD_W_WRONG_CHV", "The card cannot be accessed because the wrong PIN was presented."},
};

const TNamedCode* FindIn(const TNamedCode* table, size_t count, uint32_t code) {
    for (size_t i = 0; i < count; ++i)
        if (table[i].Code == code) return &table[i];
    return nullptr;
}

bool DescribeWin32(uint32_t code, TCodeInfo& info) {
    const char* name = GetWin32ErrorName(code);
    if (!name) return false;
    const char* text = GetWin32ErrorText(code);
    info = TCodeInfo{code, name, text ? text : ""};
    return true;
}

} // namespace

TCodeInfo lucspDescribeCode(uint32_t code, bool asHResult) {
    TCodeInfo info;
    if (asHResult && code == 0) return TCodeInfo{code, "S_OK", "The operation completed successfully."};
    if (asHResult && code == 1)
        return TCodeInfo{code, "S_FALSE", "The operation ended without the expected outcome."};
    if (code < 0x10000u) {
        if (DescribeWin32(code, info)) return info;
        const char* text = GetWin32ErrorText(code);
        return TCodeInfo{code, "ERROR_" + std::to_string(code), text ? text : "Unknown Win32 error."};
    }
    if (IsKnownNSTATUS(code)) {
        NSTATUSInfo row = GetNSTATUSInfo(code);
        return TCodeInfo{code, row.Name, row.Description};
    }
    if (const TNamedCode* row = FindIn(kHResults, sizeof(kHResults) / sizeof(kHResults[0]), code))
        return TCodeInfo{code, row->Name, row->Text};
    if ((code & 0xFFFF0000u) == 0x80070000u && DescribeWin32(code & 0xFFFFu, info))
        return TCodeInfo{code, "HRESULT_FROM_WIN32(" + info.Name + ")", info.Text};
    NSTATUSInfo row = GetNSTATUSInfo(code);
    return TCodeInfo{code, row.Name, row.Description};
}

std::string lucspFormatCode(uint32_t code, bool asHResult) {
    TCodeInfo info = lucspDescribeCode(code, asHResult);
    char hex[16];
    snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(code));
    std::string line = std::string(hex) + " " + info.Name;
    if (!info.Text.empty()) line += " - " + info.Text;
    return line;
}
