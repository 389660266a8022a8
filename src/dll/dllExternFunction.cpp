// The CSP entry points. Each runs in the one entry frame (frontend/luEntryFrame): the working ones hold
// the provider's lock for their whole run; every handle is found in the provider's handle table, with
// the kind the call expects, before it is touched; the internal result code becomes the BOOL + last
// error pair of CryptoAPI.
#include "dll/dllExternFunction.h"
#include "dll/dllMain.h"

#include "frontend/libLUProvider.h"
#include "frontend/luEntryFrame.h"
#include "frontend/luSignPipeline.h"
#include "os/platOS.h"
#include "platform/platCopyOut.h"
#include "platform/platDebug.h"

#include <cstring>

namespace {

using TKeyRef = std::shared_ptr<TLUProviderKey>;
using THashRef = std::shared_ptr<TLUProviderDataHash>;

// A pointer in a trace field written as a 32-bit number.
int PtrAsInt(const void* p) {
    return static_cast<int>(reinterpret_cast<intptr_t>(p));
}

// CRYPT_VERIFYCONTEXT: a context without private key, whatever container is named; the certificate
// list is not read for it.
int DoAcquireVerifyContext(HCRYPTPROV* phProv, DWORD dwFlags) {
    if (!phProv || !gLUProvider) {
        TRACE(DBERRO_0, "Parametro invalido, hProviderKey=[%p] luProvider=[%p]\n", static_cast<void*>(phProv),
              static_cast<void*>(gLUProvider));
        return NTE_INVALID_PARAMETER;
    }
    const DWORD allowed = CRYPT_VERIFYCONTEXT | CRYPT_SILENT;
    if (dwFlags & ~allowed) {
        TRACE(DBERRO_0, "Flags invalidas com CRYPT_VERIFYCONTEXT, dwFlags=[%X]\n",
              static_cast<unsigned>(dwFlags));
        return NTE_BAD_FLAGS;
    }
    ULONG_PTR handle = 0;
    int code = gLUProvider->OpenVerifyContext(&handle);
    if (code == 0) *phProv = static_cast<HCRYPTPROV>(handle);
    return code;
}

int DoAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags, TLUProvider** session) {
    if ((dwFlags & CRYPT_VERIFYCONTEXT) && luCompatibility()) return DoAcquireVerifyContext(phProv, dwFlags);
    if (!szContainer || !phProv) {
        TRACE(DBERRO_0, "Parametro invalido, pszKeyName=[%p] hProviderKey=[%p]\n",
              static_cast<const void*>(szContainer), static_cast<void*>(phProv));
        return NTE_INVALID_PARAMETER;
    }
    if (!gLUProvider) {
        TRACE(DBERRO_0, "Parametro invalido, hProvSessionResult=[%p] luProvider=[%p]\n",
              static_cast<void*>(session), static_cast<void*>(gLUProvider));
        return NTE_INVALID_PARAMETER;
    }
    TRACE(DBINFO_0, "Opening the hProvSessionLocal\n");
    int code = gLUProvider->OpenStorageProvider(session);
    if (code != 0) {
        TRACE(DBERRO_0, "Falha no OpenStorageProvider\n");
        *session = nullptr;
        return code;
    }
    TRACE(DBINFO_0, "Provider 'TLUProvider' criado com sucesso, *hProviderKey=[%p], luProvider=[%p]\n",
          static_cast<void*>(phProv), static_cast<void*>(gLUProvider));
    static const struct {
        DWORD Flag;
        const char* Trace;
    } kRefused[] = {
        {CRYPT_NEWKEYSET, "Flag CRYPT_NEWKEYSET: Is not Implemented\n"},
        {CRYPT_DELETEKEYSET, "Flag CRYPT_DELETEKEYSET: Is not Implemented\n"},
        {CRYPT_VERIFYCONTEXT, "Flag CRYPT_VERIFYCONTEXT: Is not Implemented\n"},
        {CRYPT_MACHINE_KEYSET, "Flag CRYPT_MACHINE_KEYSET: Is not Implemented\n"},
        {CRYPT_DEFAULT_CONTAINER_OPTIONAL, "Flag CRYPT_DEFAULT_CONTAINER_OPTIONAL: Is not Implemented\n"},
    };
    for (const auto& refused : kRefused) {
        if (dwFlags & refused.Flag) {
            TRACE(DBERRO_0, "%s", refused.Trace);
            return NTE_BAD_FLAGS;
        }
    }
    ULONG_PTR handle = 0;
    code = (*session)->OpenKey(*session, TLUHandleKind::Context, 0, &handle, szContainer, 0, dwFlags);
    if (code == 0) *phProv = static_cast<HCRYPTPROV>(handle);
    return code;
}

// The session and the context key of hProv: every entry point with a provider handle starts here.
int ContextOf(HCRYPTPROV hProv, TLUProvider** session, TKeyRef* context) {
    int result = luGetProvSessionFromKey(session, hProv, context);
    if (result == 0) result = luCheckParamExt(*session);
    return result;
}

int DoReleaseContext(HCRYPTPROV hProv) {
    TLUProvider* session = nullptr;
    TKeyRef context;
    int result = ContextOf(hProv, &session, &context);
    // A verify-only context was never counted as a session.
    if (result == 0)
        result = context->HasCertificate() ? session->FreeProvider(session, hProv)
                                           : session->FreeVerifyContext(hProv);
    if (result == 0)
        TRACE(DBINFO_0, "hProvSessionLocal=[%p] destruido com sucesso, luProvider=[%p]\n",
              static_cast<void*>(session), static_cast<void*>(gLUProvider));
    return result;
}

// ...for a call that needs the context's key: a verify-only context has none.
int KeyContextOf(HCRYPTPROV hProv, TLUProvider** session, TKeyRef* context) {
    int result = ContextOf(hProv, session, context);
    if (result == 0 && !(*context)->HasCertificate()) {
        TRACE(DBERRO_0, "Contexto sem chave privada (CRYPT_VERIFYCONTEXT)\n");
        result = NTE_BAD_KEY;
    }
    return result;
}

int DoGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    TLUProvider* session = nullptr;
    TKeyRef context;
    int result = ContextOf(hProv, &session, &context);
    if (result != 0) return result;
    if (!context->HasCertificate()) {
        TRACE(DBERRO_0, "KeyType=[%d] não foi implementada\n", context->KeyType);
        return NTE_BAD_KEY;
    }
    ULONG_PTR userKey = 0;
    result = session->OpenKey(session, TLUHandleKind::Key, hProv, phUserKey ? &userKey : nullptr,
                              context->certificate->SerialNumber, dwKeySpec, 0);
    if (result == 0) {
        *phUserKey = static_cast<HCRYPTKEY>(userKey);
        TRACE(DBINFO_0, "Retornando hProviderUserKey=[%p]\n", reinterpret_cast<void*>(userKey));
    }
    return result;
}

int DoDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) {
    TLUProvider* session = nullptr;
    TKeyRef context;
    int result = ContextOf(hProv, &session, &context);
    if (result == 0) result = luCheckKey(session, hKey, nullptr);
    if (result == 0) result = session->FreeKey(session, hKey);
    return result;
}

// The session, the context key and the hash object of a hash entry point.
int HashOf(HCRYPTPROV hProv, HCRYPTHASH hHash, TLUProvider** session, TKeyRef* context, THashRef* hash) {
    int result = ContextOf(hProv, session, context);
    if (result == 0) result = luCheckHash(*session, hHash, hash);
    return result;
}

// ...and for a signature entry point, the hash must know its algorithm.
int SignedHashOf(HCRYPTPROV hProv, HCRYPTHASH hHash, TKeyRef* context, THashRef* hash) {
    TLUProvider* session = nullptr;
    int result = HashOf(hProv, hHash, &session, context, hash);
    if (result == 0 && !(*hash)->HashPaddingOIDInfo) {
        TRACE(DBERRO_0, "Parametro invalido, HashPaddingOIDInfo=[%p\n",
              static_cast<const void*>((*hash)->HashPaddingOIDInfo));
        result = NTE_INVALID_PARAMETER;
    }
    return result;
}

int DoSignHash(TLUEntryFrame& frame, HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwFlags, BYTE* pbSignature,
               DWORD* pdwSigLen) {
    if (!pdwSigLen || !hHash) {
        TRACE(DBERRO_0, "Parametro invalido, pdwSigLen=[%p] hProviderHash=[%p]\n",
              static_cast<void*>(pdwSigLen), reinterpret_cast<void*>(hHash));
        return NTE_INVALID_PARAMETER;
    }
    TKeyRef context;
    THashRef hash;
    int result = SignedHashOf(hProv, hHash, &context, &hash);
    if (result == 0 && !context->HasCertificate()) {
        TRACE(DBERRO_0, "Contexto sem chave privada (CRYPT_VERIFYCONTEXT)\n");
        result = NTE_BAD_KEY;
    }
    if (result == 0) result = hash->FinishValue();
    TLUSignJob job;
    if (result == 0)
        result = luSignOperation(
            frame, hProv, context, hash->DataValue,
            [&](TLUSignOptions* options) { return luSignOptionsFromFlags(*hash, dwFlags, true, options); },
            &job);
    if (result == 0)
        result =
            gLUProvider->CopyDataResult(gLUProvider, &job.Result, pbSignature, pdwSigLen, *pdwSigLen, true);
    return result;
}

int DoVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                      HCRYPTKEY hPubKey, DWORD dwFlags) {
    if (!pbSignature || !hHash) {
        TRACE(DBERRO_0, "Parametro invalido, pbSignature=[%p] hProviderHash=[%p]\n",
              static_cast<const void*>(pbSignature), reinterpret_cast<void*>(hHash));
        return NTE_INVALID_PARAMETER;
    }
    TKeyRef context;
    THashRef hash;
    int result = SignedHashOf(hProv, hHash, &context, &hash);
    // A verify-only context checks with the public key handed in: a key of another context.
    TKeyRef verifier = context;
    if (result == 0 && !context->HasCertificate() && luCheckKey(gLUProvider, hPubKey, &verifier) != 0) {
        TRACE(DBERRO_0, "Sem chave publica para verificar, hPubKey=[%p]\n", reinterpret_cast<void*>(hPubKey));
        result = NTE_BAD_KEY;
    }
    if (result == 0) result = hash->FinishValue();
    TLUSignOptions options{};
    if (result == 0) result = luSignOptionsFromFlags(*hash, dwFlags, false, &options);
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

int EncryptCollected(TLUEntryFrame& frame, HCRYPTPROV hProv, TLUProvider* session, const TKeyRef& context,
                     const TKeyRef& userKey, HCRYPTHASH hHash, BOOL Final, BYTE* pbData, DWORD* pdwDataLen,
                     DWORD dwBufLen) {
    TVarnoMemory& collected = userKey->EncryptData;
    if (pbData && *pdwDataLen != 0) {
        TRACE(DBINFO_0, "Adicionando dados para assinar, pdwDataLen=[%d]\n", static_cast<int>(*pdwDataLen));
        // Refused at once: data that can never fit is not collected first; a failure starts afresh.
        int result = CheckEncryptBlock(*context, *userKey, collected.LenFileData + *pdwDataLen);
        if (result == 0 && !collected.Add(pbData, *pdwDataLen)) {
            TRACE(DBERRO_0, "Falha ao adicionar dados dataToCipher, pdwDataLen=[%d]\n",
                  static_cast<int>(*pdwDataLen));
            result = NTE_NO_MEMORY;
        }
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
    int result = CheckEncryptBlock(*context, *userKey, dataToCipher.LenFileData);
    if (result == 0 && hHash) {
        THashRef hash;
        result = luCheckHash(session, hHash, &hash);
        if (result == 0) result = hash->ComputeHash(&dataToCipher, hash.get());
    }
    TLUSignJob job;
    if (result == 0) result = luSignLogin(context, &job);
    if (result == 0)
        result = luSignPrepare(&job, userKey, nullptr, dataToCipher,
                               TLUBlockOptions{TKP_PAD_PKCS1, TKS1_Type1_PrivateKey});
    if (result == 0)
        result = luRunUnlocked(frame, hProv, context, "a requisicao", [&] { return luSignSend(&job); });
    if (result == 0) result = luSignFinish(&job);
    if (result == 0)
        result = session->CopyDataResult(session, &job.Result, pbData, pdwDataLen, dwBufLen, false);
    return result;
}

int DoEncrypt(TLUEntryFrame& frame, HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final,
              BYTE* pbData, DWORD* pdwDataLen, DWORD dwBufLen) {
    if (!pdwDataLen) {
        TRACE(DBERRO_0, "Parametro invalido, pdwDataLen=[%p]\n", static_cast<void*>(pdwDataLen));
        return NTE_INVALID_PARAMETER;
    }
    TLUProvider* session = nullptr;
    TKeyRef context, userKey;
    int result = ContextOf(hProv, &session, &context);
    if (result == 0) result = luCheckKey(session, hKey, &userKey);
    if (result != 0) return result;
    return EncryptCollected(frame, hProv, session, context, userKey, hHash, Final, pbData, pdwDataLen,
                            dwBufLen);
}

int DoExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwBlobType, BYTE* pbData, DWORD* pdwDataLen) {
    if (!pdwDataLen) {
        TRACE(DBERRO_0, "Parametro invalido, pdwDataLen=[%p]\n", static_cast<void*>(pdwDataLen));
        return NTE_INVALID_PARAMETER;
    }
    TLUProvider* session = nullptr;
    TKeyRef context, key;
    int result = ContextOf(hProv, &session, &context);
    if (result == 0) result = luCheckKey(session, hKey, &key);
    if (result != 0) return result;

    switch (dwBlobType) {
    case PUBLICKEYBLOB:
        break;
    case SIMPLEBLOB:
        TRACE(DBERRO_0, "dwBlobType=[SIMPLEBLOB] não foi implementado, retornando NTE_BAD_KEY\n");
        return NTE_BAD_KEY;
    case PRIVATEKEYBLOB:
        TRACE(DBERRO_0, "dwBlobType=[PRIVATEKEYBLOB] não foi implementado, retornando NTE_BAD_KEY_STATE\n");
        return NTE_BAD_KEY_STATE;
    case PLAINTEXTKEYBLOB:
        TRACE(DBERRO_0, "dwBlobType=[PLAINTEXTKEYBLOB] não foi implementado, retornando NTE_BAD_TYPE\n");
        return NTE_BAD_TYPE;
    case SYMMETRICWRAPKEYBLOB:
        TRACE(DBERRO_0, "dwBlobType=[SYMMETRICWRAPKEYBLOB] não foi implementado, retornando NTE_BAD_TYPE\n");
        return NTE_BAD_TYPE;
    default:
        TRACE(DBERRO_0, "Parametro dwBlobType=[%X] não implemetnado\n", static_cast<unsigned>(dwBlobType));
        return NTE_BAD_TYPE;
    }

    TVarnoMemory blob;
    result = key->BuildPublicKeyBlob(&blob);
    if (result != 0) return result;
    return CopyOutValue(blob.FileData, blob.LenFileData, pbData, pdwDataLen, *pdwDataLen, kCopyExport);
}

int DoHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData, DWORD cbDataLen, DWORD dwFlags) {
    if (dwFlags & ~static_cast<DWORD>(CRYPT_USERDATA)) {
        TRACE(DBERRO_0, "Parametro invalido, dwFlags=[%X]\n", static_cast<unsigned>(dwFlags));
        return NTE_BAD_FLAGS;
    }
    TLUProvider* session = nullptr;
    TKeyRef context;
    THashRef hash;
    int result = HashOf(hProv, hHash, &session, &context, &hash);
    if (result == 0 && !pbData && cbDataLen > 0) {
        TRACE(DBERRO_0, "Parametro invalido, pbData=[%p] dwDataLen=[%d]\n", static_cast<const void*>(pbData),
              static_cast<int>(cbDataLen));
        result = NTE_INVALID_PARAMETER;
    }
    return result != 0 ? result : hash->HashData(pbData, cbDataLen);
}

int DoDuplicateHash(HCRYPTPROV hProv, HCRYPTHASH hHash, const DWORD* pdwReserved, DWORD dwFlags,
                    HCRYPTHASH* phHash) {
    if (pdwReserved || !phHash) {
        TRACE(DBERRO_0, "Parametro invalido, pdwReserved=[%p] phHash=[%p]\n",
              static_cast<const void*>(pdwReserved), static_cast<void*>(phHash));
        return NTE_INVALID_PARAMETER;
    }
    if (dwFlags != 0) return NTE_BAD_FLAGS;
    TLUProvider* session = nullptr;
    TKeyRef context;
    THashRef hash;
    int result = HashOf(hProv, hHash, &session, &context, &hash);
    return result != 0 ? result : session->DuplicateHash(hProv, *hash, phHash);
}

// A public key to verify with (PUBLICKEYBLOB only; no key wraps it).
int DoImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                HCRYPTKEY* phKey) {
    if (!pbData || !phKey) return NTE_INVALID_PARAMETER;
    if (hPubKey || dwFlags) return NTE_BAD_FLAGS;
    TLUProvider* session = nullptr;
    TKeyRef context;
    int result = ContextOf(hProv, &session, &context);
    if (result == 0 && (cbDataLen < 1 || pbData[0] != PUBLICKEYBLOB)) {
        TRACE(DBERRO_0, "Somente PUBLICKEYBLOB pode ser importado\n");
        result = NTE_BAD_TYPE;
    }
    return result != 0 ? result : session->ImportPublicKey(hProv, pbData, cbDataLen, phKey);
}

// What the refusing entry points do, whatever they are given.
int RefuseNotImplemented(const char* name) {
    TRACE(DBERRO_0, "Função '%s' não implementada\n", name);
    return NTE_NOT_SUPPORTED;
}

} // namespace

extern "C" {

BOOL WINAPI CPAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags,
                             PVTableProvStruc pVTable) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    // pVTable belongs to advapi32, which fills it and frees its provider name on release: left as it is.
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] pszKeyName=[%p] dwFlags=[%X] pVTable=[%p]>\n", LU_FN,
          static_cast<void*>(phProv), static_cast<const void*>(szContainer), static_cast<unsigned>(dwFlags),
          static_cast<void*>(pVTable));
    TLUProvider* session = nullptr;
    BOOL result = frame.Run([&] { return DoAcquireContext(phProv, szContainer, dwFlags, &session); });
    if (!result && session) {
        // The session this call opened is closed again; the caller still reads this call's error.
        TLUKeepLastError keep;
        session->FreeProvider(session, 0);
    }
    if (result) luPinLibrary();
    return result;
}

BOOL WINAPI CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryCleanup);
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] dwFlags=[%X]>\n", LU_FN, reinterpret_cast<void*>(hProv),
          static_cast<unsigned>(dwFlags));
    return frame.Run([&] { return DoReleaseContext(hProv); });
}

BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen, DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] dwParam=[%X] pbData=[%p] pdwDataLen=[%p] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), static_cast<unsigned>(dwParam), static_cast<void*>(pbData),
          static_cast<void*>(pcbDataLen), static_cast<unsigned>(dwFlags));
    return frame.Run([&] {
        TLUProvider* session = nullptr;
        TKeyRef context;
        int r = ContextOf(hProv, &session, &context);
        return r != 0 ? r : session->GetParam(session, context.get(), dwParam, pbData, pcbDataLen, dwFlags);
    });
}

BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] dwParam=[%X] pbData=[%p] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), static_cast<unsigned>(dwParam), static_cast<const void*>(pbData),
          static_cast<unsigned>(dwFlags));
    return frame.Run([&] {
        TLUProvider* session = nullptr;
        TKeyRef context;
        int r = ContextOf(hProv, &session, &context);
        return r != 0 ? r : session->SetParam(session, context.get(), dwParam, pbData, dwFlags);
    });
}

BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] dwKeySpec=[%X] hProviderUserKey=[%p]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), static_cast<unsigned>(dwKeySpec), static_cast<void*>(phUserKey));
    return frame.Run([&] { return DoGetUserKey(hProv, dwKeySpec, phUserKey); });
}

BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) {
    LU_ENTRY_FRAME(frame, kEntryCleanup);
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] hKeyToDestroy=[%p]>\n", LU_FN, reinterpret_cast<void*>(hProv),
          reinterpret_cast<void*>(hKey));
    return frame.Run([&] { return DoDestroyKey(hProv, hKey); });
}

BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                          DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E,
          "<%s hProviderKey=[%p] hKey=[%p] dwParam=[%X] pbData=[%d] pcbDataLen=[%d] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hKey), static_cast<unsigned>(dwParam),
          PtrAsInt(pbData), PtrAsInt(pcbDataLen), static_cast<unsigned>(dwFlags));
    // Key parameters are those of the context key: hKey is not looked at.
    return frame.Run([&] {
        TLUProvider* session = nullptr;
        TKeyRef context;
        int r = KeyContextOf(hProv, &session, &context);
        return r != 0 ? r : context->GetParam(dwParam, pbData, pcbDataLen, dwFlags);
    });
}

BOOL WINAPI CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData,
                          DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] hKey=[%p] dwParam=[%X] pbData=[%p] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hKey), static_cast<unsigned>(dwParam),
          static_cast<const void*>(pbData), static_cast<unsigned>(dwFlags));
    return frame.Run([&] {
        TLUProvider* session = nullptr;
        TKeyRef context;
        int r = KeyContextOf(hProv, &session, &context);
        return r != 0 ? r : context->SetParam(dwParam, pbData, dwFlags);
    });
}

BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] Algid=[%d] hKey=[%p] dwFlags=[%X] phHash=[%p]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), static_cast<int>(Algid), reinterpret_cast<void*>(hKey),
          static_cast<unsigned>(dwFlags), static_cast<void*>(phHash));
    return frame.Run([&] {
        TLUProvider* session = nullptr;
        TKeyRef context;
        int r = ContextOf(hProv, &session, &context);
        return r != 0 ? r : session->CreateHash(session, hProv, Algid, hKey, dwFlags, phHash);
    });
}

BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash) {
    LU_ENTRY_FRAME(frame, kEntryCleanup);
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p], hProviderHash=[%p]>\n", LU_FN, reinterpret_cast<void*>(hProv),
          reinterpret_cast<void*>(hHash));
    return frame.Run([&] {
        TLUProvider* session = nullptr;
        TKeyRef context;
        THashRef hash;
        int r = HashOf(hProv, hHash, &session, &context, &hash);
        return r != 0 ? r : session->DestroyHash(session, hHash);
    });
}

BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                           DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(
        DBHEAD_E,
        "<%s hProviderKey=[%p] hProviderHash=[%p] dwParam=[%X] pbData=[%p], pdwDataLen=[%p], dwFlags=[%X]>\n",
        LU_FN, reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash), static_cast<unsigned>(dwParam),
        static_cast<void*>(pbData), static_cast<void*>(pcbDataLen), static_cast<unsigned>(dwFlags));
    return frame.Run([&] {
        TLUProvider* session = nullptr;
        TKeyRef context;
        THashRef hash;
        int r = HashOf(hProv, hHash, &session, &context, &hash);
        return r != 0 ? r : hash->GetParam(dwParam, pbData, pcbDataLen, dwFlags);
    });
}

BOOL WINAPI CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData,
                           DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] hProviderHash=[%p] dwParam=[%X] pbData=[%p] dwFlags=[%X]>\n",
          LU_FN, reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash),
          static_cast<unsigned>(dwParam), static_cast<const void*>(pbData), static_cast<unsigned>(dwFlags));
    return frame.Run([&] {
        TLUProvider* session = nullptr;
        TKeyRef context;
        THashRef hash;
        int r = HashOf(hProv, hHash, &session, &context, &hash);
        return r != 0 ? r : hash->SetParam(dwParam, pbData, dwFlags);
    });
}

BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription,
                       DWORD dwFlags, BYTE* pbSignature, DWORD* pcbSigLen) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E,
          "<%s hProviderKey=[%p] hProviderHash=[%p] dwKeySpec=[%X] sDescription=[%p] dwFlags=[%X] "
          "pbSignature=[%p] "
          "pdwSigLen=[%d]>\n",
          LU_FN, reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash),
          static_cast<unsigned>(dwKeySpec), static_cast<const void*>(szDescription),
          static_cast<unsigned>(dwFlags), static_cast<void*>(pbSignature), PtrAsInt(pcbSigLen));
    return frame.Run([&] { return DoSignHash(frame, hProv, hHash, dwFlags, pbSignature, pcbSigLen); });
}

BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature, DWORD cbSigLen,
                              HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E,
          "<%s hProviderKey=[%p] hProviderHash=[%p] pbSignature=[%X] dwSigLen=[%d] hPubKey=[%p] "
          "sDescription=[%p], "
          "dwFlags=[%X]>\n",
          LU_FN, reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash),
          static_cast<unsigned>(PtrAsInt(pbSignature)), static_cast<int>(cbSigLen),
          reinterpret_cast<void*>(hPubKey), static_cast<const void*>(szDescription),
          static_cast<unsigned>(dwFlags));
    return frame.Run(
        [&] { return DoVerifySignature(hProv, hHash, pbSignature, cbSigLen, hPubKey, dwFlags); });
}

BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags,
                      BYTE* pbData, DWORD* pcbDataLen, DWORD cbBufLen) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(DBHEAD_E,
          "<%s hProviderKey=[%p] hProviderUserKey=[%p] hProviderHash=[%p], Final=[%d], dwFlags=[%X] "
          "pbData=[%p], "
          "pdwDataLen=[%p], dwBufLen=[%d]>\n",
          LU_FN, reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hKey),
          reinterpret_cast<void*>(hHash), fFinal, static_cast<unsigned>(dwFlags), static_cast<void*>(pbData),
          static_cast<void*>(pcbDataLen), static_cast<int>(cbBufLen));
    return frame.Run(
        [&] { return DoEncrypt(frame, hProv, hKey, hHash, fFinal, pbData, pcbDataLen, cbBufLen); });
}

BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType, DWORD dwFlags,
                        BYTE* pbData, DWORD* pcbDataLen) {
    LU_ENTRY_FRAME(frame, kEntryWorking);
    TRACE(
        DBHEAD_E,
        "<%s hProviderKey=[%p] hProviderUserKey=[%p] hPubKey=[%p], dwBlobType=[%d], dwFlags=[%X] pbData=[%p] "
        "pdwDataLen=[%p]>\n",
        LU_FN, reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hKey),
        reinterpret_cast<void*>(hPubKey), static_cast<int>(dwBlobType), static_cast<unsigned>(dwFlags),
        static_cast<void*>(pbData), static_cast<void*>(pcbDataLen));
    return frame.Run([&] { return DoExportKey(hProv, hKey, dwBlobType, pbData, pcbDataLen); });
}

// ---------------------------------------------------------------------------------------------------
// Entry points that refuse every call: no lock, no argument or handle is looked at. CPHashData and
// CPDuplicateHash and CPImportKey (PUBLICKEYBLOB) work as the others unless "CSP_Compatibility" is 0.

BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags,
                      BYTE* pbData, DWORD* pcbDataLen) {
    LU_ENTRY_FRAME(frame, kEntryRefusing);
    TRACE(
        DBHEAD_E,
        "<%s hProviderKey=[%p] hKey=[%p] hHash=[%p] Final=[%d] dwFlags=[%d], pbData=[%p], pdwDataLen=[%d]>\n",
        LU_FN, reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hKey), reinterpret_cast<void*>(hHash),
        fFinal, static_cast<int>(dwFlags), static_cast<void*>(pbData), PtrAsInt(pcbDataLen));
    return frame.Run([] { return RefuseNotImplemented("CPDecrypt"); });
}

BOOL WINAPI CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags,
                        HCRYPTKEY* phKey) {
    LU_ENTRY_FRAME(frame, kEntryRefusing);
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] Algid=[%d] hBaseData=[%X] dwFlags=[%d] phKey=[%p]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), static_cast<int>(Algid), static_cast<unsigned>(hBaseData),
          static_cast<int>(dwFlags), static_cast<void*>(phKey));
    return frame.Run([] { return RefuseNotImplemented("CPDeriveKey"); });
}

BOOL WINAPI CPDuplicateHash(HCRYPTPROV hUID, HCRYPTHASH hHash, DWORD* pdwReserved, DWORD dwFlags,
                            HCRYPTHASH* phHash) {
    const bool works = luCompatibility();
    LU_ENTRY_FRAME(frame, works ? kEntryWorking : kEntryRefusing);
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] hHash=[%p] pdwReserved=[%p] dwFlags=[%X] phHash=[%p]>\n", LU_FN,
          reinterpret_cast<void*>(hUID), reinterpret_cast<void*>(hHash), static_cast<void*>(pdwReserved),
          static_cast<unsigned>(dwFlags), static_cast<void*>(phHash));
    if (works) return frame.Run([&] { return DoDuplicateHash(hUID, hHash, pdwReserved, dwFlags, phHash); });
    return frame.Run([] { return RefuseNotImplemented("CPDuplicateHash"); });
}

BOOL WINAPI CPDuplicateKey(HCRYPTPROV hUID, HCRYPTKEY hKey, DWORD* pdwReserved, DWORD dwFlags,
                           HCRYPTKEY* phKey) {
    LU_ENTRY_FRAME(frame, kEntryRefusing);
    TRACE(DBHEAD_E, "<%s hUID=[%p] hKey=[%p] pdwReserved=[%p] dwFlags=[%X] phKey=[%p]>\n", LU_FN,
          reinterpret_cast<void*>(hUID), reinterpret_cast<void*>(hKey), static_cast<void*>(pdwReserved),
          static_cast<unsigned>(dwFlags), static_cast<void*>(phKey));
    return frame.Run([] { return RefuseNotImplemented("CPDuplicateKey"); });
}

BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    LU_ENTRY_FRAME(frame, kEntryRefusing);
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] Algid=[%X] dwFlags=[%X] phKey=[%p]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), static_cast<unsigned>(Algid), static_cast<unsigned>(dwFlags),
          static_cast<void*>(phKey));
    return frame.Run([] { return RefuseNotImplemented("CPGenKey"); });
}

BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD cbLen, BYTE* pbBuffer) {
    LU_ENTRY_FRAME(frame, kEntryRefusing);
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] dwLen=[%p] pbBuffer=[%p]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(static_cast<uintptr_t>(cbLen)),
          static_cast<void*>(pbBuffer));
    return frame.Run([] { return RefuseNotImplemented("CPGenRandom"); });
}

BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData, DWORD cbDataLen,
                       DWORD dwFlags) {
    const bool works = luCompatibility();
    LU_ENTRY_FRAME(frame, works ? kEntryWorking : kEntryRefusing);
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] hHash=[%p] pbData=[%p] dwDataLen=[%p] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash), static_cast<const void*>(pbData),
          reinterpret_cast<void*>(static_cast<uintptr_t>(cbDataLen)), static_cast<unsigned>(dwFlags));
    if (works) return frame.Run([&] { return DoHashData(hProv, hHash, pbData, cbDataLen, dwFlags); });
    return frame.Run([] { return RefuseNotImplemented("CPHashData"); });
}

BOOL WINAPI CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags) {
    LU_ENTRY_FRAME(frame, kEntryRefusing);
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] hHash=[%p] hKey=[%p] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash), reinterpret_cast<void*>(hKey),
          static_cast<unsigned>(dwFlags));
    return frame.Run([] { return RefuseNotImplemented("CPHashSessionKey"); });
}

BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen, HCRYPTKEY hPubKey,
                        DWORD dwFlags, HCRYPTKEY* phKey) {
    const bool works = luCompatibility();
    LU_ENTRY_FRAME(frame, works ? kEntryWorking : kEntryRefusing);
    TRACE(DBHEAD_E,
          "<%s hProviderKey=[%p] pbData=[%p] dwDataLen=[%d] hPubKey=[%p] dwFlags=[%X] phKey=[%p]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), static_cast<const void*>(pbData), static_cast<int>(cbDataLen),
          reinterpret_cast<void*>(hPubKey), static_cast<unsigned>(dwFlags), static_cast<void*>(phKey));
    if (works)
        return frame.Run([&] { return DoImportKey(hProv, pbData, cbDataLen, hPubKey, dwFlags, phKey); });
    return frame.Run([] { return RefuseNotImplemented("CPImportKey"); });
}

} // extern "C"
