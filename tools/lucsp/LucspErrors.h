// Names and texts of the codes the tool reports: Win32 errors, CryptoAPI NTE_* codes, NTSTATUS values
// and the few HRESULTs the exports return. Every failure of the tool ends in exactly one line built here.
#pragma once

#include <cstdint>
#include <string>

// Win32 codes the tool raises itself (values of the Windows SDK).
constexpr uint32_t LUCSP_ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t LUCSP_ERROR_PATH_NOT_FOUND = 3;
constexpr uint32_t LUCSP_ERROR_ACCESS_DENIED = 5;
constexpr uint32_t LUCSP_ERROR_INVALID_DATA = 13;
constexpr uint32_t LUCSP_ERROR_WRITE_FAULT = 29;
constexpr uint32_t LUCSP_ERROR_READ_FAULT = 30;
constexpr uint32_t LUCSP_ERROR_NOT_SUPPORTED = 50;
constexpr uint32_t LUCSP_ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t LUCSP_ERROR_MOD_NOT_FOUND = 126;
constexpr uint32_t LUCSP_ERROR_PROC_NOT_FOUND = 127;
constexpr uint32_t LUCSP_ERROR_BAD_ARGUMENTS = 160;
constexpr uint32_t LUCSP_ERROR_NOT_FOUND = 1168;
constexpr uint32_t LUCSP_ERROR_TIMEOUT = 1460;
constexpr uint32_t LUCSP_ERROR_FUNCTION_FAILED = 1627;
constexpr uint32_t LUCSP_WSAETIMEDOUT = 10060;
constexpr uint32_t LUCSP_WSAECONNREFUSED = 10061;
constexpr uint32_t LUCSP_WSAHOST_NOT_FOUND = 11001;

// Certificate and TLS codes (HRESULTs of the Windows SDK).
constexpr uint32_t LUCSP_CERT_E_EXPIRED = 0x800B0101u;
constexpr uint32_t LUCSP_CERT_E_UNTRUSTEDROOT = 0x800B0109u;
constexpr uint32_t LUCSP_SEC_E_ILLEGAL_MESSAGE = 0x80090326u;

// CryptoAPI codes the tool checks for.
constexpr uint32_t LUCSP_NTE_BAD_HASH = 0x80090002u;
constexpr uint32_t LUCSP_NTE_BAD_LEN = 0x80090004u;
constexpr uint32_t LUCSP_NTE_BAD_DATA = 0x80090005u;
constexpr uint32_t LUCSP_NTE_BAD_SIGNATURE = 0x80090006u;
constexpr uint32_t LUCSP_NTE_NO_KEY = 0x8009000Du;
constexpr uint32_t LUCSP_NTE_BAD_PROV_TYPE = 0x80090014u;
constexpr uint32_t LUCSP_NTE_FAIL = 0x80090020u;
constexpr uint32_t LUCSP_NTE_SYS_ERR = 0x80090021u;

// The provider's failure classes with CSP_Compatibility 1: the smart-card codes of the nearest case.
constexpr uint32_t LUCSP_SCARD_E_NO_SMARTCARD = 0x8010000Cu;       // no token
constexpr uint32_t LUCSP_SCARD_W_WRONG_CHV = 0x8010006Bu;          // token refused
constexpr uint32_t LUCSP_SCARD_E_READER_UNAVAILABLE = 0x80100017u; // service unreachable
constexpr uint32_t LUCSP_SCARD_E_UNEXPECTED = 0x8010001Fu;         // service failed
constexpr uint32_t LUCSP_SCARD_E_COMM_DATA_LOST = 0x8010002Fu;     // answer unusable

struct TCodeInfo {
    uint32_t Code;
    std::string Name;
    std::string Text;
};

// Small values are Win32 errors (0x103 is ERROR_NO_MORE_ITEMS here, not STATUS_PENDING); larger ones go
// to the status table of the library, then to the HRESULT forms. asHResult names 0 and 1 S_OK / S_FALSE.
TCodeInfo lucspDescribeCode(uint32_t code, bool asHResult = false);

// "0x80090021 NTE_SYS_ERR - A base error occurred."
std::string lucspFormatCode(uint32_t code, bool asHResult = false);
