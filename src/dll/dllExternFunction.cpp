// The CSP entry points. Each working one holds the provider's lock for its whole run, traces its entry
// and exit, checks every handle by finding it in the provider's lists before touching it, turns the
// internal result code into the BOOL + last error pair of CryptoAPI, and catches runtime exceptions.
#include "dll/dllExternFunction.h"

#include "frontend/libLUProvider.h"
#include "frontend/luEntryFrame.h"
#include "platform/platDebug.h"

#include <cstring>

namespace {

TLUProviderKey* AsKey(ULONG_PTR handle) {
    return reinterpret_cast<TLUProviderKey*>(handle);
}
TLUProviderDataHash* AsHash(ULONG_PTR handle) {
    return reinterpret_cast<TLUProviderDataHash*>(handle);
}
// A pointer in a trace field written as a 32-bit number.
int PtrAsInt(const void* p) {
    return static_cast<int>(reinterpret_cast<intptr_t>(p));
}

// The session of hProv after the checks that every entry point with a provider handle makes.
int SessionOf(HCRYPTPROV hProv, TLUProvider** session) {
    int result = luGetProvSessionFromKey(session, hProv);
    if (result == 0) result = luCheckParamExt(*session, hProv);
    return result;
}

// Verifying sets the context key's padding before the flags are looked at, as signing does.
int ApplyVerifyFlags(TLUProviderKey* key, DWORD dwFlags) {
    TRACE(DBINFO_0, "Setting: ParamKeyPadding=[TKP_PAD_PKCS1]\n");
    key->KeyPadding = TKP_PAD_PKCS1;
    key->KeyPaddingPKCS1Type = TKS1_Type1_PrivateKey;
    int result = 0;
    if (dwFlags & CRYPT_TYPE2_FORMAT) {
        TRACE(DBINFO_0,
              "Checking dwFlags=[%X], CRYPT_TYPE2_FORMAT Is Setted, "
              "KeyPaddingPKCS1Type[TKS1_Type2_PublicKey]\n",
              static_cast<unsigned>(dwFlags));
        key->KeyPaddingPKCS1Type = TKS1_Type2_PublicKey;
    }
    if (dwFlags & CRYPT_X931_FORMAT) {
        TRACE(DBERRO_0, "Checking dwFlags=[%X], CRYPT_X931_FORMAT Not Implemented\n",
              static_cast<unsigned>(dwFlags));
        result = NTE_BAD_FLAGS;
    }
    return result;
}

int DoReleaseContext(HCRYPTPROV hProv) {
    TLUProvider* session = nullptr;
    int result = SessionOf(hProv, &session);
    if (result == 0) result = session->FreeProvider(session, AsKey(hProv));
    if (result == 0)
        TRACE(DBINFO_0, "hProvSessionLocal=[%p] destruido com sucesso, luProvider=[%p]\n",
              static_cast<void*>(session), static_cast<void*>(gLUProvider));
    return result;
}

int DoGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    TLUProvider* session = nullptr;
    int result = SessionOf(hProv, &session);
    if (result != 0) return result;
    TLUProviderKey* contextKey = AsKey(hProv);
    if (contextKey->KeyType != LUK_TCertificate || !contextKey->certificate) {
        TRACE(DBERRO_0, "KeyType=[%d] não foi implementada\n", contextKey->KeyType);
        return NTE_BAD_KEY;
    }
    TLUProviderKey* userKey = nullptr;
    result = session->OpenKey(session, phUserKey ? &userKey : nullptr, contextKey->certificate->SerialNumber,
                              dwKeySpec, 0);
    if (result == 0) {
        *phUserKey = reinterpret_cast<HCRYPTKEY>(userKey);
        TRACE(DBINFO_0, "Retornando hProviderUserKey=[%p]\n", static_cast<void*>(userKey));
    }
    return result;
}

int DoDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) {
    TLUProvider* session = nullptr;
    int result = luGetProvSessionFromKey(&session, hProv);
    if (result == 0) result = luCheckParamExt(session, hKey);
    if (result == 0) result = session->FreeKey(session, AsKey(hKey));
    return result;
}

int DoCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash) {
    TLUProvider* session = nullptr;
    int result = SessionOf(hProv, &session);
    if (result != 0) return result;
    TLUProviderDataHash* newHash = nullptr;
    result = session->CreateHash(session, AsKey(hProv), Algid, hKey, dwFlags, phHash ? &newHash : nullptr);
    if (result == 0) *phHash = reinterpret_cast<HCRYPTHASH>(newHash);
    return result;
}

// The session and the hash object of a hash entry point.
int HashOf(HCRYPTPROV hProv, HCRYPTHASH hHash, TLUProvider** session) {
    int result = luGetProvSessionFromKey(session, hProv);
    if (result == 0) result = luCheckParamExt(*session, hProv, hHash);
    return result;
}

// The session, the context key and the hash object of a signature entry point; the hash must know its
// algorithm.
int KeyAndHashOf(HCRYPTPROV hProv, HCRYPTHASH hHash, TLUProvider** session, TLUProviderKey** key,
                 TLUProviderDataHash** hash) {
    int result = HashOf(hProv, hHash, session);
    if (result != 0) return result;
    *key = AsKey(hProv);
    *hash = AsHash(hHash);
    if (!(*hash)->HashPaddingOIDInfo) {
        TRACE(DBERRO_0, "Parametro invalido, HashPaddingOIDInfo=[%p\n",
              static_cast<const void*>((*hash)->HashPaddingOIDInfo));
        return NTE_INVALID_PARAMETER;
    }
    return 0;
}

int DoSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwFlags, BYTE* pbSignature, DWORD* pdwSigLen) {
    if (!pdwSigLen || !hHash) {
        TRACE(DBERRO_0, "Parametro invalido, pdwSigLen=[%p] hProviderHash=[%p]\n",
              static_cast<void*>(pdwSigLen), reinterpret_cast<void*>(hHash));
        return NTE_INVALID_PARAMETER;
    }
    TLUProvider* session = nullptr;
    TLUProviderKey* key = nullptr;
    TLUProviderDataHash* hash = nullptr;
    int result = KeyAndHashOf(hProv, hHash, &session, &key, &hash);
    if (result != 0) return result;
    result = key->VerifyLogin(false, 0);
    if (result != 0) return result;

    TRACE(DBINFO_0, "Setting: ParamKeyPadding=[TKP_PAD_PKCS1]\n");
    key->KeyPadding = TKP_PAD_PKCS1;
    key->KeyPaddingPKCS1Type = TKS1_Type1_PrivateKey;
    if (dwFlags & CRYPT_NOHASHOID) {
        TRACE(DBINFO_0, "Checking dwFlags=[%X], CRYPT_NOHASHOID Is Setted\n", static_cast<unsigned>(dwFlags));
        // The value is signed bare from now on: the hash object keeps the row without prefix.
        result = TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(&hash->HashPaddingOIDInfo, THT_NONE);
        if (result != 0) {
            TRACE(DBERRO_0, "Falha ao recuperar THT_NONE para CRYPT_NOHASHOID\n");
            return result;
        }
    }
    if (dwFlags & CRYPT_TYPE2_FORMAT) {
        TRACE(DBINFO_0,
              "Checking dwFlags=[%X], CRYPT_TYPE2_FORMAT Is Setted, "
              "KeyPaddingPKCS1Type[TKS1_Type2_PublicKey]\n",
              static_cast<unsigned>(dwFlags));
        key->KeyPaddingPKCS1Type = TKS1_Type2_PublicKey;
    }
    if (dwFlags & CRYPT_X931_FORMAT) {
        TRACE(DBERRO_0, "Checking dwFlags=[%X], CRYPT_X931_FORMAT Not Implemented\n",
              static_cast<unsigned>(dwFlags));
        return NTE_BAD_FLAGS;
    }

    TVarnoMemory signature;
    result = key->EncryptDecryptHash(hash, &signature, hash->HashPaddingOIDInfo->HashAlgType, true, true);
    if (result == 0)
        result = session->CopyDataResult(session, &signature, pbSignature, pdwSigLen, *pdwSigLen, true);
    return result;
}

int DoVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                      DWORD dwFlags) {
    if (!pbSignature || !hHash) {
        TRACE(DBERRO_0, "Parametro invalido, pbSignature=[%p] hProviderHash=[%p]\n",
              static_cast<const void*>(pbSignature), reinterpret_cast<void*>(hHash));
        return NTE_INVALID_PARAMETER;
    }
    TLUProvider* session = nullptr;
    TLUProviderKey* key = nullptr;
    TLUProviderDataHash* hash = nullptr;
    int result = KeyAndHashOf(hProv, hHash, &session, &key, &hash);
    if (result != 0) return result;
    result = ApplyVerifyFlags(key, dwFlags);
    if (result != 0) return result;

    // CryptoAPI hands signatures in little-endian order; the RSA block is big-endian.
    TVarnoMemory signature;
    if (dwSigLen > 0 && !signature.AddInverted(pbSignature, dwSigLen)) return NTE_NO_MEMORY;
    return key->VerifySignatureHash(hash, &signature, hash->HashPaddingOIDInfo->HashAlgType);
}

int DoEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, BYTE* pbData, DWORD* pdwDataLen,
              DWORD dwBufLen) {
    if (!pdwDataLen) {
        TRACE(DBERRO_0, "Parametro invalido, pdwDataLen=[%p]\n", static_cast<void*>(pdwDataLen));
        return NTE_INVALID_PARAMETER;
    }
    TLUProvider* session = nullptr;
    int result = SessionOf(hProv, &session);
    if (result == 0) result = luCheckParamExt(session, hKey);
    if (result != 0) return result;
    TLUProviderKey* userKey = AsKey(hKey);
    TVarnoMemory& dataToCipher = userKey->DataHash.DataValue;

    if (pbData && *pdwDataLen != 0) {
        TRACE(DBINFO_0, "Adicionando dados para assinar, pdwDataLen=[%d]\n", static_cast<int>(*pdwDataLen));
        if (!dataToCipher.Add(pbData, *pdwDataLen)) {
            TRACE(DBERRO_0, "Falha ao adicionar dados dataToCipher, pdwDataLen=[%d]\n",
                  static_cast<int>(*pdwDataLen));
            return NTE_NO_MEMORY;
        }
    }
    if (!Final) return 0;

    if (hHash) {
        result = luCheckParamExt(session, hKey, hHash);
        if (result == 0) result = AsHash(hHash)->ComputeHash(&dataToCipher, AsHash(hHash));
        if (result != 0) return result;
    }
    result = AsKey(hProv)->VerifyLogin(false, 0);
    if (result != 0) return result;

    TVarnoMemory output;
    result = userKey->EncryptDecrypt(&dataToCipher, &output, true, true);
    if (result == 0) result = session->CopyDataResult(session, &output, pbData, pdwDataLen, dwBufLen, false);
    return result;
}

// PUBLICKEYBLOB of the key's certificate: BLOBHEADER, RSAPUBKEY, then the modulus little-endian.
int BuildPublicKeyBlob(TLUProviderKey* key, TVarnoMemory* blob) {
    if (key->KeyType != LUK_TCertificate || !key->certificate) {
        TRACE(DBERRO_0, "KeyType=[%d] não foi implementada\n", key->KeyType);
        return NTE_BAD_KEY;
    }
    const TVarnoMemory& modulus = key->certificate->PublicModulus;
    const TVarnoMemory& exponent = key->certificate->PublicExponent;
    // The blob's pubexp field has 32 bits; a larger exponent cannot be exported this way.
    uint32_t first = 0;
    while (first < exponent.LenFileData && exponent.FileData[first] == 0)
        ++first;
    const uint32_t lenExponent = exponent.LenFileData - first;
    if (modulus.LenFileData == 0 || lenExponent == 0 || lenExponent > 4) {
        TRACE(DBERRO_0, "Chave publica não pode ser exportada, PublicModulus=[%d] PublicExponent=[%d]\n",
              static_cast<int>(modulus.LenFileData), static_cast<int>(exponent.LenFileData));
        return NTE_BAD_KEY;
    }
    DWORD pubexp = 0;
    for (uint32_t i = first; i < exponent.LenFileData; ++i)
        pubexp = (pubexp << 8) | exponent.FileData[i];

    BYTE header[20];
    memset(header, 0, sizeof(header));
    header[0] = PUBLICKEYBLOB;
    header[1] = CUR_BLOB_VERSION;
    const DWORD fields[4] = {static_cast<DWORD>(CALG_RSA_KEYX), 0x31415352u,
                             static_cast<DWORD>(key->certificate->KeyLenght) * 8, pubexp};
    for (int f = 0; f < 4; ++f)
        for (int b = 0; b < 4; ++b)
            header[4 + 4 * f + b] = static_cast<BYTE>((fields[f] >> (8 * b)) & 0xFF);
    blob->Clear();
    if (!blob->Add(header, sizeof(header)) || !blob->AddInverted(modulus.FileData, modulus.LenFileData))
        return NTE_NO_MEMORY;
    return 0;
}

int DoExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwBlobType, BYTE* pbData, DWORD* pdwDataLen) {
    if (!pdwDataLen) {
        TRACE(DBERRO_0, "Parametro invalido, pdwDataLen=[%p]\n", static_cast<void*>(pdwDataLen));
        return NTE_INVALID_PARAMETER;
    }
    TLUProvider* session = nullptr;
    int result = SessionOf(hProv, &session);
    if (result == 0) result = luCheckParamExt(session, hKey);
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
    result = BuildPublicKeyBlob(AsKey(hKey), &blob);
    if (result != 0) return result;
    if (pbData) {
        if (*pdwDataLen < blob.LenFileData) {
            TRACE(DBERRO_0,
                  "Tamanho do parametro é maior do que o alocado, pdwDataLen=[%d], LenFileData=[%d]\n",
                  static_cast<int>(*pdwDataLen), static_cast<int>(blob.LenFileData));
            return ERROR_MORE_DATA;
        }
        memcpy(pbData, blob.FileData, blob.LenFileData);
    }
    *pdwDataLen = blob.LenFileData;
    return 0;
}

// The refusing entry points: no lock, no argument or handle is looked at.
BOOL RefuseNotImplemented(const char* name) {
    BOOL result = luConvResultNTE(static_cast<DWORD>(NTE_NOT_SUPPORTED));
    TLUKeepLastError keep;
    TRACE(DBERRO_0, "Função '%s' não implementada\n", name);
    TRACE(DBHEAD_E, "</%s result=[%d]>\n", name, result);
    return result;
}

} // namespace

// The frame of a working entry point around the internal work `work`, an expression giving a result code.
// Whatever escapes is caught: nothing may unwind into the caller of a CSP entry point.
#define LU_ENTRY_RUN(name, work)                                                                             \
    BOOL result = FALSE;                                                                                     \
    try {                                                                                                    \
        luEntryTestHook(name);                                                                               \
        result = luConvResultNTE(static_cast<DWORD>(work));                                                  \
    } catch (const std::exception& e) {                                                                      \
        result = luCatchEntryException(e, name, __LINE__);                                                   \
    } catch (...) {                                                                                          \
        result = luCatchEntryException("unknown exception", name, __LINE__);                                 \
    }

#define LU_ENTRY_EXIT()                                                                                      \
    do {                                                                                                     \
        TLUKeepLastError keep;                                                                               \
        TRACE(DBHEAD_E, "</%s result=[%d]>\n", LU_FN, result);                                               \
    } while (0)

extern "C" {

BOOL WINAPI CPAcquireContext(HCRYPTPROV* phProv, LPCSTR szContainer, DWORD dwFlags,
                             PVTableProvStruc pVTable) {
    TLUEntryLock lock;
    BOOL result = FALSE;
    TLUProvider* session = nullptr;
    // pVTable belongs to advapi32, which fills it and frees its provider name on release: left as it is.
    try {
        luEntryTestHook("CPAcquireContext");
        TRACE(DBHEAD_E, "<%s hProviderKey=[%p] pszKeyName=[%p] dwFlags=[%X] pVTable=[%p]>\n", LU_FN,
              static_cast<void*>(phProv), static_cast<const void*>(szContainer),
              static_cast<unsigned>(dwFlags), static_cast<void*>(pVTable));
        int code = 0;
        if (!szContainer || !phProv) {
            TRACE(DBERRO_0, "Parametro invalido, pszKeyName=[%p] hProviderKey=[%p]\n",
                  static_cast<const void*>(szContainer), static_cast<void*>(phProv));
            code = NTE_INVALID_PARAMETER;
        } else if (!gLUProvider) {
            TRACE(DBERRO_0, "Parametro invalido, hProvSessionResult=[%p] luProvider=[%p]\n",
                  static_cast<void*>(&session), static_cast<void*>(gLUProvider));
            code = NTE_INVALID_PARAMETER;
        } else {
            TRACE(DBINFO_0, "Opening the hProvSessionLocal\n");
            code = gLUProvider->OpenStorageProvider(&session);
            if (code != 0) {
                TRACE(DBERRO_0, "Falha no OpenStorageProvider\n");
                session = nullptr;
            }
        }
        if (code == 0) {
            TRACE(DBINFO_0,
                  "Provider 'TLUProvider' criado com sucesso, *hProviderKey=[%p], luProvider=[%p]\n",
                  static_cast<void*>(phProv), static_cast<void*>(gLUProvider));
            if (dwFlags & CRYPT_NEWKEYSET) {
                TRACE(DBERRO_0, "Flag CRYPT_NEWKEYSET: Is not Implemented\n");
                code = NTE_BAD_FLAGS;
            } else if (dwFlags & CRYPT_DELETEKEYSET) {
                TRACE(DBERRO_0, "Flag CRYPT_DELETEKEYSET: Is not Implemented\n");
                code = NTE_BAD_FLAGS;
            } else if (dwFlags & CRYPT_VERIFYCONTEXT) {
                TRACE(DBERRO_0, "Flag CRYPT_VERIFYCONTEXT: Is not Implemented\n");
                code = NTE_BAD_FLAGS;
            } else if (dwFlags & CRYPT_MACHINE_KEYSET) {
                TRACE(DBERRO_0, "Flag CRYPT_MACHINE_KEYSET: Is not Implemented\n");
                code = NTE_BAD_FLAGS;
            } else if (dwFlags & CRYPT_DEFAULT_CONTAINER_OPTIONAL) {
                TRACE(DBERRO_0, "Flag CRYPT_DEFAULT_CONTAINER_OPTIONAL: Is not Implemented\n");
                code = NTE_BAD_FLAGS;
            }
        }
        if (code == 0) {
            TLUProviderKey* contextKey = nullptr;
            code = session->OpenKey(session, &contextKey, szContainer, 0, dwFlags);
            if (code == 0) *phProv = reinterpret_cast<HCRYPTPROV>(contextKey);
        }
        result = luConvResultNTE(static_cast<DWORD>(code));
    } catch (const std::exception& e) {
        result = luCatchEntryException(e, "CPAcquireContext", __LINE__);
    } catch (...) {
        result = luCatchEntryException("unknown exception", "CPAcquireContext", __LINE__);
    }
    if (!result && session) {
        // The session this call opened is closed again; the caller still reads this call's error.
        TLUKeepLastError keep;
        session->FreeProvider(session, nullptr);
    }
    LU_ENTRY_EXIT();
    return result;
}

BOOL WINAPI CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    TLUEntryLock lock;
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] dwFlags=[%X]>\n", LU_FN, reinterpret_cast<void*>(hProv),
          static_cast<unsigned>(dwFlags));
    LU_ENTRY_RUN("CPReleaseContext", DoReleaseContext(hProv));
    LU_ENTRY_EXIT();
    return result;
}

BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen, DWORD dwFlags) {
    TLUEntryLock lock;
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] dwParam=[%X] pbData=[%p] pdwDataLen=[%p] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), static_cast<unsigned>(dwParam), static_cast<void*>(pbData),
          static_cast<void*>(pcbDataLen), static_cast<unsigned>(dwFlags));
    TLUProvider* session = nullptr;
    LU_ENTRY_RUN("CPGetProvParam", [&]() -> int {
        int r = SessionOf(hProv, &session);
        return r != 0 ? r : session->GetParam(session, AsKey(hProv), dwParam, pbData, pcbDataLen, dwFlags);
    }());
    LU_ENTRY_EXIT();
    return result;
}

BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
    TLUEntryLock lock;
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] dwParam=[%X] pbData=[%p] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), static_cast<unsigned>(dwParam), static_cast<const void*>(pbData),
          static_cast<unsigned>(dwFlags));
    TLUProvider* session = nullptr;
    LU_ENTRY_RUN("CPSetProvParam", [&]() -> int {
        int r = SessionOf(hProv, &session);
        return r != 0 ? r : session->SetParam(session, AsKey(hProv), dwParam, pbData, dwFlags);
    }());
    LU_ENTRY_EXIT();
    return result;
}

BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
    TLUEntryLock lock;
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] dwKeySpec=[%X] hProviderUserKey=[%p]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), static_cast<unsigned>(dwKeySpec), static_cast<void*>(phUserKey));
    LU_ENTRY_RUN("CPGetUserKey", DoGetUserKey(hProv, dwKeySpec, phUserKey));
    LU_ENTRY_EXIT();
    return result;
}

BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) {
    TLUEntryLock lock;
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] hKeyToDestroy=[%p]>\n", LU_FN, reinterpret_cast<void*>(hProv),
          reinterpret_cast<void*>(hKey));
    LU_ENTRY_RUN("CPDestroyKey", DoDestroyKey(hProv, hKey));
    LU_ENTRY_EXIT();
    return result;
}

BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                          DWORD dwFlags) {
    TLUEntryLock lock;
    TRACE(DBHEAD_E,
          "<%s hProviderKey=[%p] hKey=[%p] dwParam=[%X] pbData=[%d] pcbDataLen=[%d] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hKey), static_cast<unsigned>(dwParam),
          PtrAsInt(pbData), PtrAsInt(pcbDataLen), static_cast<unsigned>(dwFlags));
    TLUProvider* session = nullptr;
    // Key parameters are those of the context key: hKey is not looked at.
    LU_ENTRY_RUN("CPGetKeyParam", [&]() -> int {
        int r = SessionOf(hProv, &session);
        return r != 0 ? r : AsKey(hProv)->GetParam(dwParam, pbData, pcbDataLen, dwFlags);
    }());
    LU_ENTRY_EXIT();
    return result;
}

BOOL WINAPI CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData,
                          DWORD dwFlags) {
    TLUEntryLock lock;
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] hKey=[%p] dwParam=[%X] pbData=[%p] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hKey), static_cast<unsigned>(dwParam),
          static_cast<const void*>(pbData), static_cast<unsigned>(dwFlags));
    TLUProvider* session = nullptr;
    LU_ENTRY_RUN("CPSetKeyParam", [&]() -> int {
        int r = SessionOf(hProv, &session);
        return r != 0 ? r : AsKey(hProv)->SetParam(dwParam, pbData, dwFlags);
    }());
    LU_ENTRY_EXIT();
    return result;
}

BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash) {
    TLUEntryLock lock;
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] Algid=[%d] hKey=[%p] dwFlags=[%X] phHash=[%p]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), static_cast<int>(Algid), reinterpret_cast<void*>(hKey),
          static_cast<unsigned>(dwFlags), static_cast<void*>(phHash));
    LU_ENTRY_RUN("CPCreateHash", DoCreateHash(hProv, Algid, hKey, dwFlags, phHash));
    LU_ENTRY_EXIT();
    return result;
}

BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash) {
    TLUEntryLock lock;
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p], hProviderHash=[%p]>\n", LU_FN, reinterpret_cast<void*>(hProv),
          reinterpret_cast<void*>(hHash));
    TLUProvider* session = nullptr;
    LU_ENTRY_RUN("CPDestroyHash", [&]() -> int {
        int r = HashOf(hProv, hHash, &session);
        return r != 0 ? r : session->DestroyHash(session, AsHash(hHash));
    }());
    LU_ENTRY_EXIT();
    return result;
}

BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pcbDataLen,
                           DWORD dwFlags) {
    TLUEntryLock lock;
    TRACE(
        DBHEAD_E,
        "<%s hProviderKey=[%p] hProviderHash=[%p] dwParam=[%X] pbData=[%p], pdwDataLen=[%p], dwFlags=[%X]>\n",
        LU_FN, reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash), static_cast<unsigned>(dwParam),
        static_cast<void*>(pbData), static_cast<void*>(pcbDataLen), static_cast<unsigned>(dwFlags));
    TLUProvider* session = nullptr;
    LU_ENTRY_RUN("CPGetHashParam", [&]() -> int {
        int r = HashOf(hProv, hHash, &session);
        return r != 0 ? r : AsHash(hHash)->GetParam(dwParam, pbData, pcbDataLen, dwFlags);
    }());
    LU_ENTRY_EXIT();
    return result;
}

BOOL WINAPI CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData,
                           DWORD dwFlags) {
    TLUEntryLock lock;
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] hProviderHash=[%p] dwParam=[%X] pbData=[%p] dwFlags=[%X]>\n",
          LU_FN, reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash),
          static_cast<unsigned>(dwParam), static_cast<const void*>(pbData), static_cast<unsigned>(dwFlags));
    TLUProvider* session = nullptr;
    LU_ENTRY_RUN("CPSetHashParam", [&]() -> int {
        int r = HashOf(hProv, hHash, &session);
        return r != 0 ? r : AsHash(hHash)->SetParam(dwParam, pbData, dwFlags);
    }());
    LU_ENTRY_EXIT();
    return result;
}

BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription,
                       DWORD dwFlags, BYTE* pbSignature, DWORD* pcbSigLen) {
    TLUEntryLock lock;
    TRACE(DBHEAD_E,
          "<%s hProviderKey=[%p] hProviderHash=[%p] dwKeySpec=[%X] sDescription=[%p] dwFlags=[%X] "
          "pbSignature=[%p] "
          "pdwSigLen=[%d]>\n",
          LU_FN, reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash),
          static_cast<unsigned>(dwKeySpec), static_cast<const void*>(szDescription),
          static_cast<unsigned>(dwFlags), static_cast<void*>(pbSignature), PtrAsInt(pcbSigLen));
    LU_ENTRY_RUN("CPSignHash", DoSignHash(hProv, hHash, dwFlags, pbSignature, pcbSigLen));
    LU_ENTRY_EXIT();
    return result;
}

BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature, DWORD cbSigLen,
                              HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags) {
    TLUEntryLock lock;
    TRACE(DBHEAD_E,
          "<%s hProviderKey=[%p] hProviderHash=[%p] pbSignature=[%X] dwSigLen=[%d] hPubKey=[%p] "
          "sDescription=[%p], "
          "dwFlags=[%X]>\n",
          LU_FN, reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash),
          static_cast<unsigned>(PtrAsInt(pbSignature)), static_cast<int>(cbSigLen),
          reinterpret_cast<void*>(hPubKey), static_cast<const void*>(szDescription),
          static_cast<unsigned>(dwFlags));
    LU_ENTRY_RUN("CPVerifySignature", DoVerifySignature(hProv, hHash, pbSignature, cbSigLen, dwFlags));
    LU_ENTRY_EXIT();
    return result;
}

BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags,
                      BYTE* pbData, DWORD* pcbDataLen, DWORD cbBufLen) {
    TLUEntryLock lock;
    TRACE(DBHEAD_E,
          "<%s hProviderKey=[%p] hProviderUserKey=[%p] hProviderHash=[%p], Final=[%d], dwFlags=[%X] "
          "pbData=[%p], "
          "pdwDataLen=[%p], dwBufLen=[%d]>\n",
          LU_FN, reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hKey),
          reinterpret_cast<void*>(hHash), fFinal, static_cast<unsigned>(dwFlags), static_cast<void*>(pbData),
          static_cast<void*>(pcbDataLen), static_cast<int>(cbBufLen));
    LU_ENTRY_RUN("CPEncrypt", DoEncrypt(hProv, hKey, hHash, fFinal, pbData, pcbDataLen, cbBufLen));
    LU_ENTRY_EXIT();
    return result;
}

BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType, DWORD dwFlags,
                        BYTE* pbData, DWORD* pcbDataLen) {
    TLUEntryLock lock;
    TRACE(
        DBHEAD_E,
        "<%s hProviderKey=[%p] hProviderUserKey=[%p] hPubKey=[%p], dwBlobType=[%d], dwFlags=[%X] pbData=[%p] "
        "pdwDataLen=[%p]>\n",
        LU_FN, reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hKey),
        reinterpret_cast<void*>(hPubKey), static_cast<int>(dwBlobType), static_cast<unsigned>(dwFlags),
        static_cast<void*>(pbData), static_cast<void*>(pcbDataLen));
    LU_ENTRY_RUN("CPExportKey", DoExportKey(hProv, hKey, dwBlobType, pbData, pcbDataLen));
    LU_ENTRY_EXIT();
    return result;
}

// ---------------------------------------------------------------------------------------------------
// Entry points that refuse every call.

BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL fFinal, DWORD dwFlags,
                      BYTE* pbData, DWORD* pcbDataLen) {
    TRACE(
        DBHEAD_E,
        "<%s hProviderKey=[%p] hKey=[%p] hHash=[%p] Final=[%d] dwFlags=[%d], pbData=[%p], pdwDataLen=[%d]>\n",
        LU_FN, reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hKey), reinterpret_cast<void*>(hHash),
        fFinal, static_cast<int>(dwFlags), static_cast<void*>(pbData), PtrAsInt(pcbDataLen));
    return RefuseNotImplemented("CPDecrypt");
}

BOOL WINAPI CPDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags,
                        HCRYPTKEY* phKey) {
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] Algid=[%d] hBaseData=[%X] dwFlags=[%d] phKey=[%p]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), static_cast<int>(Algid), static_cast<unsigned>(hBaseData),
          static_cast<int>(dwFlags), static_cast<void*>(phKey));
    return RefuseNotImplemented("CPDeriveKey");
}

BOOL WINAPI CPDuplicateHash(HCRYPTPROV hUID, HCRYPTHASH hHash, DWORD* pdwReserved, DWORD dwFlags,
                            HCRYPTHASH* phHash) {
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] hHash=[%p] pdwReserved=[%p] dwFlags=[%X] phHash=[%p]>\n", LU_FN,
          reinterpret_cast<void*>(hUID), reinterpret_cast<void*>(hHash), static_cast<void*>(pdwReserved),
          static_cast<unsigned>(dwFlags), static_cast<void*>(phHash));
    return RefuseNotImplemented("CPDuplicateHash");
}

BOOL WINAPI CPDuplicateKey(HCRYPTPROV hUID, HCRYPTKEY hKey, DWORD* pdwReserved, DWORD dwFlags,
                           HCRYPTKEY* phKey) {
    TRACE(DBHEAD_E, "<%s hUID=[%p] hKey=[%p] pdwReserved=[%p] dwFlags=[%X] phKey=[%p]>\n", LU_FN,
          reinterpret_cast<void*>(hUID), reinterpret_cast<void*>(hKey), static_cast<void*>(pdwReserved),
          static_cast<unsigned>(dwFlags), static_cast<void*>(phKey));
    return RefuseNotImplemented("CPDuplicateKey");
}

BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] Algid=[%X] dwFlags=[%X] phKey=[%p]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), static_cast<unsigned>(Algid), static_cast<unsigned>(dwFlags),
          static_cast<void*>(phKey));
    return RefuseNotImplemented("CPGenKey");
}

BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD cbLen, BYTE* pbBuffer) {
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] dwLen=[%p] pbBuffer=[%p]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(static_cast<uintptr_t>(cbLen)),
          static_cast<void*>(pbBuffer));
    return RefuseNotImplemented("CPGenRandom");
}

BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData, DWORD cbDataLen,
                       DWORD dwFlags) {
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] hHash=[%p] pbData=[%p] dwDataLen=[%p] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash), static_cast<const void*>(pbData),
          reinterpret_cast<void*>(static_cast<uintptr_t>(cbDataLen)), static_cast<unsigned>(dwFlags));
    return RefuseNotImplemented("CPHashData");
}

BOOL WINAPI CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH hHash, HCRYPTKEY hKey, DWORD dwFlags) {
    TRACE(DBHEAD_E, "<%s hProviderKey=[%p] hHash=[%p] hKey=[%p] dwFlags=[%X]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), reinterpret_cast<void*>(hHash), reinterpret_cast<void*>(hKey),
          static_cast<unsigned>(dwFlags));
    return RefuseNotImplemented("CPHashSessionKey");
}

BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD cbDataLen, HCRYPTKEY hPubKey,
                        DWORD dwFlags, HCRYPTKEY* phKey) {
    TRACE(DBHEAD_E,
          "<%s hProviderKey=[%p] pbData=[%p] dwDataLen=[%d] hPubKey=[%p] dwFlags=[%X] phKey=[%p]>\n", LU_FN,
          reinterpret_cast<void*>(hProv), static_cast<const void*>(pbData), static_cast<int>(cbDataLen),
          reinterpret_cast<void*>(hPubKey), static_cast<unsigned>(dwFlags), static_cast<void*>(phKey));
    return RefuseNotImplemented("CPImportKey");
}

} // extern "C"
