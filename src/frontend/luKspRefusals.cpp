// The entries of the key storage provider's table that refuse every call: no lock, no argument looked at.
// Key creation, deletion, import, encryption, decryption and secret agreement are not this provider's.
#include "frontend/luEntryFrame.h"
#include "frontend/luKspHandlers.h"
#include "platform/platDebug.h"

namespace {

#define KSP_REFUSE(name, ...)                                                                                \
    SECURITY_STATUS WINAPI name(__VA_ARGS__) {                                                               \
        LU_ENTRY_FRAME(frame, kEntryRefusing);                                                               \
        TRACE(DBHEAD_E, "<%s>\n", LU_FN);                                                                    \
        return luKspRunStatus(frame, [] { return luRefuseNotImplemented(#name); });                          \
    }

KSP_REFUSE(KspCreatePersistedKey, NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE*, LPCWSTR, LPCWSTR, DWORD, DWORD)
KSP_REFUSE(KspFinalizeKey, NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, DWORD)
KSP_REFUSE(KspDeleteKey, NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, DWORD)
KSP_REFUSE(KspEncrypt, NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, PBYTE, DWORD, void*, PBYTE, DWORD, DWORD*,
           DWORD)
KSP_REFUSE(KspDecrypt, NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, PBYTE, DWORD, void*, PBYTE, DWORD, DWORD*,
           DWORD)
KSP_REFUSE(KspImportKey, NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, LPCWSTR, NCryptBufferDesc*,
           NCRYPT_KEY_HANDLE*, PBYTE, DWORD, DWORD)
KSP_REFUSE(KspPromptUser, NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, LPCWSTR, DWORD)
KSP_REFUSE(KspNotifyChangeKey, NCRYPT_PROV_HANDLE, HANDLE*, DWORD)
KSP_REFUSE(KspSecretAgreement, NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, NCRYPT_KEY_HANDLE,
           NCRYPT_SECRET_HANDLE*, DWORD)
KSP_REFUSE(KspDeriveKey, NCRYPT_PROV_HANDLE, NCRYPT_SECRET_HANDLE, LPCWSTR, NCryptBufferDesc*, PBYTE, DWORD,
           DWORD*, ULONG)
KSP_REFUSE(KspFreeSecret, NCRYPT_PROV_HANDLE, NCRYPT_SECRET_HANDLE)

} // namespace

void luKspRefusedEntries(NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table) {
    table->CreatePersistedKey = KspCreatePersistedKey;
    table->FinalizeKey = KspFinalizeKey;
    table->DeleteKey = KspDeleteKey;
    table->Encrypt = KspEncrypt;
    table->Decrypt = KspDecrypt;
    table->ImportKey = KspImportKey;
    table->PromptUser = KspPromptUser;
    table->NotifyChangeKey = KspNotifyChangeKey;
    table->SecretAgreement = KspSecretAgreement;
    table->DeriveKey = KspDeriveKey;
    table->FreeSecret = KspFreeSecret;
}
