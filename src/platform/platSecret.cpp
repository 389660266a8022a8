#include "platform/platSecret.h"

#include "os/platOS.h"
#include "platform/TVarnoMemory.h"
#include "platform/platHASH.h"
#include "platform/platRotPadroes.h"

#include <cstdlib>
#include <cstring>

TPlatSecretText::~TPlatSecretText() {
    if (!Text.empty()) SecureZero(&Text[0], Text.size());
}

bool platProtectSecret(const std::string& plain, bool machineScope, std::string& blob) {
    return osProtectData(plain, machineScope, blob);
}

bool platRevealSecret(const std::string& stored, std::string& plain) {
    if (!osIsProtectedData(stored.data(), stored.size())) {
        plain = stored;
        return true;
    }
    return osUnprotectData(stored, plain);
}

bool platProtectSecretText(const std::string& plain, std::string& text) {
    std::string blob;
    if (!osProtectData(plain, true, blob)) return false;
    TPlatHASH hash;
    char* encoded = hash.Encode_Base64(blob.data(), static_cast<int>(blob.size()), 1);
    if (!encoded) return false;
    text = std::string(LU_SECRET_TEXT_PREFIX) + encoded;
    free(encoded);
    return true;
}

bool platIsProtectedText(const char* stored) {
    return stored && strncmp(stored, LU_SECRET_TEXT_PREFIX, strlen(LU_SECRET_TEXT_PREFIX)) == 0;
}

bool platRevealSecretText(const char* stored, std::string& plain) {
    plain.clear();
    if (!stored) return true;
    if (!platIsProtectedText(stored)) {
        plain = stored;
        return true;
    }
    TVarnoMemory blob;
    TPlatHASH hash;
    if (!hash.Decode_Base64(stored + strlen(LU_SECRET_TEXT_PREFIX), &blob) || !blob.FileData) return false;
    bool ok =
        osUnprotectData(std::string(reinterpret_cast<const char*>(blob.FileData), blob.LenFileData), plain);
    SecureZero(blob.FileData, blob.LenFileData);
    return ok;
}
