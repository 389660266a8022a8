#include "os/platOS.h"

#include <cstring>

namespace {

// dwVersion 1 and the provider GUID {df9d8cd0-1501-11d1-8c7a-00c04fc297eb} open every DPAPI blob.
const unsigned char kBlobHead[20] = {0x01, 0x00, 0x00, 0x00, 0xD0, 0x8C, 0x9D, 0xDF, 0x01, 0x15,
                                     0xD1, 0x11, 0x8C, 0x7A, 0x00, 0xC0, 0x4F, 0xC2, 0x97, 0xEB};
// Wine's crypt32 writes a blob of its own layout: dwVersion 1, then this text where the GUID would be.
const unsigned char kWineBlobHead[20] = {0x01, 0x00, 0x00, 0x00, 'W', 'i', 'n', 'e', ' ', 'C',
                                         'r',  'y',  'p',  't',  '3', '2', ' ', 'o', 'k', 0x00};

bool Take(DATA_BLOB& out, std::string& into) {
    if (!out.pbData) return false;
    into.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
    SecureZeroMemory(out.pbData, out.cbData);
    LocalFree(out.pbData);
    return true;
}

} // namespace

bool osProtectData(const std::string& plain, bool machineScope, std::string& blob) {
    DATA_BLOB in{static_cast<DWORD>(plain.size()), reinterpret_cast<BYTE*>(const_cast<char*>(plain.data()))};
    DATA_BLOB out{0, nullptr};
    DWORD flags = CRYPTPROTECT_UI_FORBIDDEN | (machineScope ? CRYPTPROTECT_LOCAL_MACHINE : 0);
    if (!CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr, flags, &out)) return false;
    return Take(out, blob);
}

bool osUnprotectData(const std::string& blob, std::string& plain) {
    DATA_BLOB in{static_cast<DWORD>(blob.size()), reinterpret_cast<BYTE*>(const_cast<char*>(blob.data()))};
    DATA_BLOB out{0, nullptr};
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
        return false;
    return Take(out, plain);
}

bool osIsProtectedData(const void* data, size_t length) {
    return data && length > sizeof(kBlobHead) &&
           (memcmp(data, kBlobHead, sizeof(kBlobHead)) == 0 ||
            memcmp(data, kWineBlobHead, sizeof(kWineBlobHead)) == 0);
}
