#include "frontend/luCspLookup.h"

#include "platform/platDebug.h"

int luCspContextOf(HCRYPTPROV hProv, TLUProvider** session, TLUKeyRef* context) {
    int result = luGetProvSessionFromKey(session, hProv, context);
    if (result != 0) return result;
    return luCheckParamExt(*session);
}

int luCspKeyContextOf(HCRYPTPROV hProv, TLUProvider** session, TLUKeyRef* context) {
    int result = luCspContextOf(hProv, session, context);
    if (result != 0) return result;
    if (!(*context)->HasCertificate()) {
        TRACE(DBERRO_0, "Contexto sem chave privada (CRYPT_VERIFYCONTEXT)\n");
        return NTE_BAD_KEY;
    }
    return 0;
}

int luCspHashOf(HCRYPTPROV hProv, HCRYPTHASH hHash, TLUProvider** session, TLUKeyRef* context,
                TLUHashRef* hash) {
    int result = luCspContextOf(hProv, session, context);
    if (result != 0) return result;
    return luCheckHash(*session, hHash, hash);
}

int luCspSignedHashOf(HCRYPTPROV hProv, HCRYPTHASH hHash, TLUKeyRef* context, TLUHashRef* hash) {
    TLUProvider* session = nullptr;
    int result = luCspHashOf(hProv, hHash, &session, context, hash);
    if (result != 0) return result;
    if (!(*hash)->HashPaddingOIDInfo) {
        TRACE(DBERRO_0, "Parametro invalido, HashPaddingOIDInfo=[%p\n",
              static_cast<const void*>((*hash)->HashPaddingOIDInfo));
        return NTE_INVALID_PARAMETER;
    }
    return 0;
}
