// The private- and public-key operations of the CSP: CPSignHash, CPVerifySignature, CPEncrypt.
#include "frontend/luCspHandlers.h"
#include "frontend/luCspLookup.h"
#include "frontend/luEntryFrame.h"
#include "frontend/luSignPipeline.h"
#include "platform/platDebug.h"

namespace {

// The hash to sign and its context: a context with a key, the hash's value final.
int HashToSign(HCRYPTPROV hProv, HCRYPTHASH hHash, TLUKeyRef* context, TLUHashRef* hash) {
    int result = luCspSignedHashOf(hProv, hHash, context, hash);
    if (result != 0) return result;
    if (!(*context)->HasCertificate()) {
        TRACE(DBERRO_0, "Contexto sem chave privada (CRYPT_VERIFYCONTEXT)\n");
        return NTE_BAD_KEY;
    }
    return (*hash)->FinishValue();
}

int DoSignHash(TLUEntryFrame& frame, HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwFlags, BYTE* pbSignature,
               DWORD* pdwSigLen) {
    if (!pdwSigLen || !hHash) {
        TRACE(DBERRO_0, "Parametro invalido, pdwSigLen=[%p] hProviderHash=[%p]\n",
              static_cast<void*>(pdwSigLen), reinterpret_cast<void*>(hHash));
        return NTE_INVALID_PARAMETER;
    }
    TLUKeyRef context;
    TLUHashRef hash;
    int result = HashToSign(hProv, hHash, &context, &hash);
    // The job is made also when the hash is refused: its objects' trace lines stand where they always have.
    TLUSignJob job;
    if (result != 0) return result;
    result = luSignOperation(
        frame, hProv, context, context, hash->DataValue,
        [&](TLUSignOptions* options) { return luSignOptionsFromFlags(*hash, dwFlags, true, options); }, &job);
    if (result != 0) return result;
    return gLUProvider->CopyDataResult(gLUProvider, &job.Result, pbSignature, pdwSigLen, *pdwSigLen, true);
}

int DoVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                      HCRYPTKEY hPubKey, DWORD dwFlags) {
    if (!pbSignature || !hHash) {
        TRACE(DBERRO_0, "Parametro invalido, pbSignature=[%p] hProviderHash=[%p]\n",
              static_cast<const void*>(pbSignature), reinterpret_cast<void*>(hHash));
        return NTE_INVALID_PARAMETER;
    }
    TLUKeyRef context;
    TLUHashRef hash;
    int result = luCspSignedHashOf(hProv, hHash, &context, &hash);
    if (result != 0) return result;
    // A verify-only context checks with the public key handed in: a key of another context.
    TLUKeyRef verifier = context;
    if (!context->HasCertificate() && luCheckKey(gLUProvider, hPubKey, &verifier) != 0) {
        TRACE(DBERRO_0, "Sem chave publica para verificar, hPubKey=[%p]\n", reinterpret_cast<void*>(hPubKey));
        return NTE_BAD_KEY;
    }
    result = hash->FinishValue();
    if (result != 0) return result;
    TLUSignOptions options{};
    result = luSignOptionsFromFlags(*hash, dwFlags, false, &options);
    if (result != 0) return result;
    // CryptoAPI hands signatures in little-endian order; the RSA block is big-endian.
    TVarnoMemory signature;
    if (dwSigLen > 0 && !signature.AddInverted(pbSignature, dwSigLen)) return NTE_NO_MEMORY;
    return verifier->VerifySignatureHash(hash->DataValue, options.Row, signature, options.Block);
}

// CPEncrypt is the key's private-key operation over caller data: only a PKCS #1 v1.5 type 1 block
// with room for its padding is made. Any other padding would let the caller choose the whole block and
// so decrypt whatever was encrypted to the certificate (blinding turns one such block into any other).
// KP_PADDING lands on the context key (key parameters are the context's), so its setting is refused as
// well as one of the key itself.
bool IsType1Padding(const TLUProviderKey& key) {
    return key.KeyPadding == TKP_PAD_PKCS1 && key.KeyPaddingPKCS1Type == TKS1_Type1_PrivateKey;
}

int CheckEncryptBlock(const TLUProviderKey& context, const TLUProviderKey& key, uint32_t lenData) {
    if (!IsType1Padding(context) || !IsType1Padding(key)) {
        TRACE(
            DBERRO_0,
            "CPEncrypt: somente PKCS #1 tipo 1 é permitido, KeyPadding=[%d/%d] KeyPaddingPKCS1Type=[%d/%d]\n",
            context.KeyPadding, key.KeyPadding, context.KeyPaddingPKCS1Type, key.KeyPaddingPKCS1Type);
        return NTE_BAD_FLAGS;
    }
    const int room = key.KeyLenght() - 11;
    if (room <= 0 || lenData > static_cast<uint32_t>(room)) {
        TRACE(DBERRO_0, "CPEncrypt: dados maiores que o bloco permite, LenData=[%u] Max=[%d]\n",
              static_cast<unsigned>(lenData), room);
        return NTE_BAD_LEN;
    }
    return 0;
}

// Adds data to what the key collected; refused at once when the whole can never fit the block.
int CollectData(const TLUProviderKey& context, TLUProviderKey& key, const BYTE* pbData, DWORD lenData) {
    int result = CheckEncryptBlock(context, key, key.EncryptData.LenFileData + lenData);
    if (result != 0) return result;
    if (!key.EncryptData.Add(pbData, lenData)) {
        TRACE(DBERRO_0, "Falha ao adicionar dados dataToCipher, pdwDataLen=[%d]\n",
              static_cast<int>(lenData));
        return NTE_NO_MEMORY;
    }
    return 0;
}

// The final data checked against the block and, with a hash handle, hashed as well.
int CheckFinalData(const TLUProviderKey& context, const TLUProviderKey& key, TLUProvider* session,
                   HCRYPTHASH hHash, TVarnoMemory* data) {
    int result = CheckEncryptBlock(context, key, data->LenFileData);
    if (result != 0 || !hHash) return result;
    TLUHashRef hash;
    result = luCheckHash(session, hHash, &hash);
    if (result != 0) return result;
    return hash->ComputeHash(data, hash.get());
}

int EncryptCollected(TLUEntryFrame& frame, HCRYPTPROV hProv, TLUProvider* session, const TLUKeyRef& context,
                     const TLUKeyRef& userKey, HCRYPTHASH hHash, BOOL Final, BYTE* pbData, DWORD* pdwDataLen,
                     DWORD dwBufLen) {
    TVarnoMemory& collected = userKey->EncryptData;
    if (pbData && *pdwDataLen != 0) {
        TRACE(DBINFO_0, "Adicionando dados para assinar, pdwDataLen=[%d]\n", static_cast<int>(*pdwDataLen));
        // A failure starts afresh.
        int result = CollectData(*context, *userKey, pbData, *pdwDataLen);
        if (result != 0) {
            collected.Clear();
            return result;
        }
    }
    if (!Final) return 0;

    // The final call takes the collected data while it holds the lock: what another thread adds while
    // this one waits for the service is that thread's, for its own final call.
    TVarnoMemory dataToCipher;
    if (!dataToCipher.LoadFromMemory(collected.FileData, collected.LenFileData)) return NTE_NO_MEMORY;
    collected.Clear();
    int result = CheckFinalData(*context, *userKey, session, hHash, &dataToCipher);
    // The job is made also when the data is refused: its objects' trace lines stand where they always have.
    TLUSignJob job;
    if (result != 0) return result;
    // Signed bare, as a type 1 block: the key's own padding was checked above.
    result = luSignOperation(
        frame, hProv, context, userKey, dataToCipher,
        [](TLUSignOptions* options) {
            *options = TLUSignOptions{nullptr, TLUBlockOptions{TKP_PAD_PKCS1, TKS1_Type1_PrivateKey}};
            return 0;
        },
        &job);
    if (result != 0) return result;
    return session->CopyDataResult(session, &job.Result, pbData, pdwDataLen, dwBufLen, false);
}

int DoEncrypt(TLUEntryFrame& frame, HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final,
              BYTE* pbData, DWORD* pdwDataLen, DWORD dwBufLen) {
    if (!pdwDataLen) {
        TRACE(DBERRO_0, "Parametro invalido, pdwDataLen=[%p]\n", static_cast<void*>(pdwDataLen));
        return NTE_INVALID_PARAMETER;
    }
    TLUProvider* session = nullptr;
    TLUKeyRef context, userKey;
    int result = luCspContextOf(hProv, &session, &context);
    if (result != 0) return result;
    result = luCheckKey(session, hKey, &userKey);
    if (result != 0) return result;
    return EncryptCollected(frame, hProv, session, context, userKey, hHash, Final, pbData, pdwDataLen,
                            dwBufLen);
}

} // namespace

BOOL luCspSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                   BYTE* pbSignature, DWORD* pcbSigLen) {
    LU_EXPORT_FRAME(frame, kEntryWorking, "CPSignHash");
    LU_ENTRY_TRACE(frame, DBHEAD_E,
                   "<%s hProviderKey=[%p] hProviderHash=[%p] dwKeySpec=[%X] sDescription=[%p] dwFlags=[%X] "
                   "pbSignature=[%p] "
                   "pdwSigLen=[%d]>\n",
                   reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash),
                   static_cast<unsigned>(dwKeySpec), static_cast<const void*>(szDescription),
                   static_cast<unsigned>(dwFlags), static_cast<void*>(pbSignature), luPtrAsInt(pcbSigLen));
    return frame.Run([&] { return DoSignHash(frame, hProv, hHash, dwFlags, pbSignature, pcbSigLen); });
}

BOOL luCspVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature, DWORD cbSigLen,
                          HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags) {
    LU_EXPORT_FRAME(frame, kEntryWorking, "CPVerifySignature");
    LU_ENTRY_TRACE(frame, DBHEAD_E,
                   "<%s hProviderKey=[%p] hProviderHash=[%p] pbSignature=[%X] dwSigLen=[%d] hPubKey=[%p] "
                   "sDescription=[%p], "
                   "dwFlags=[%X]>\n",
                   reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash),
                   static_cast<unsigned>(luPtrAsInt(pbSignature)), static_cast<int>(cbSigLen),
                   reinterpret_cast<void*>(hPubKey), static_cast<const void*>(szDescription),
                   static_cast<unsigned>(dwFlags));
    return frame.Run(
        [&] { return DoVerifySignature(hProv, hHash, pbSignature, cbSigLen, hPubKey, dwFlags); });
}

BOOL luCspEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags,
                  BYTE* pbData, DWORD* pcbDataLen, DWORD cbBufLen) {
    LU_EXPORT_FRAME(frame, kEntryWorking, "CPEncrypt");
    LU_ENTRY_TRACE(frame, DBHEAD_E,
                   "<%s hProviderKey=[%p] hProviderUserKey=[%p] hProviderHash=[%p], Final=[%d], dwFlags=[%X] "
                   "pbData=[%p], "
                   "pdwDataLen=[%p], dwBufLen=[%d]>\n",
                   reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hKey),
                   reinterpret_cast<void*>(hHash), fFinal, static_cast<unsigned>(dwFlags),
                   static_cast<void*>(pbData), static_cast<void*>(pcbDataLen), static_cast<int>(cbBufLen));
    return frame.Run(
        [&] { return DoEncrypt(frame, hProv, hKey, hHash, fFinal, pbData, pcbDataLen, cbBufLen); });
}
