#include "frontend/luSignPipeline.h"

#include "frontend/libLUProvider.h"
#include "frontend/libLumidra.h"
#include "frontend/luEntryFrame.h"
#include "platform/platDebug.h"
#include "platform/platParentWin.h"

int luSignOptionsFromFlags(const TLUProviderDataHash& hash, DWORD dwFlags, bool IsSign,
                           TLUSignOptions* options) {
    TRACE(DBINFO_0, "Setting: ParamKeyPadding=[TKP_PAD_PKCS1]\n");
    options->Row = hash.HashPaddingOIDInfo;
    options->Block = TLUBlockOptions{TKP_PAD_PKCS1, TKS1_Type1_PrivateKey};
    if (IsSign && (dwFlags & CRYPT_NOHASHOID)) {
        TRACE(DBINFO_0, "Checking dwFlags=[%X], CRYPT_NOHASHOID Is Setted\n", static_cast<unsigned>(dwFlags));
        // This signature only: the value is signed bare, the hash keeps its algorithm.
        int result = TLUProviderKey::EncryptDecryptHashGetPaddingOIDInfo(&options->Row, THT_NONE);
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
        options->Block.KeyPaddingPKCS1Type = TKS1_Type2_PublicKey;
    }
    if (dwFlags & CRYPT_X931_FORMAT) {
        TRACE(DBERRO_0, "Checking dwFlags=[%X], CRYPT_X931_FORMAT Not Implemented\n",
              static_cast<unsigned>(dwFlags));
        return NTE_BAD_FLAGS;
    }
    return 0;
}

namespace {

struct TFailureCode {
    TLUFailure Failure;
    int Code;
};
const TFailureCode kFailureCodes[] = {
    {TLUFailure::NoToken, SCARD_E_NO_SMARTCARD},           {TLUFailure::TokenRefused, SCARD_W_WRONG_CHV},
    {TLUFailure::Unreachable, SCARD_E_READER_UNAVAILABLE}, {TLUFailure::ServiceFailed, SCARD_E_UNEXPECTED},
    {TLUFailure::AnswerUnusable, SCARD_E_COMM_DATA_LOST},
};

} // namespace

int luFailureResult(TLUFailure failure, int partsCode) {
    if (!luCompatibility()) return partsCode;
    for (const TFailureCode& row : kFailureCodes)
        if (row.Failure == failure) return row.Code;
    return partsCode;
}

TLUFailure luFailureOfResult(int result) {
    for (const TFailureCode& row : kFailureCodes)
        if (row.Code == result) return row.Failure;
    return TLUFailure::None;
}

// The login of loginKey (the context key) puts its token into the job.
static int luSignLogin(const std::shared_ptr<TLUProviderKey>& loginKey, TLUSignJob* job) {
    int result = loginKey->VerifyLogin(false, 0, &job->Token);
    // The login's NTE_FAIL is a token missing, unreadable or unusable.
    if (result == NTE_FAIL) {
        TRACE(DBERRO_0, "Falha na assinatura, classe=[%s]\n", luFailureName(TLUFailure::NoToken));
        return luFailureResult(TLUFailure::NoToken, result);
    }
    return result;
}

// The block of value that key signs with options; a result in the key's cache ends the job (Cached).
static int luSignPrepare(TLUSignJob* job, const std::shared_ptr<TLUProviderKey>& key,
                         const THashPaddingOIDInfo* row, const TVarnoMemory& value,
                         const TLUBlockOptions& options) {
    job->Key = key;
    job->Options = options;
    job->Cached = false;
    TDataEncryptDecrypt& item = job->Item;
    item.Clear();
    int result = key->BuildBlock(row, value, options, &item.DataValueInput, &item.DataValuePadded);
    if (result != 0) {
        key->Cache.Forget();
        return result;
    }
    // A PSS block is salted anew every time: no earlier result answers it.
    job->Cached =
        options.KeyPadding != TKP_PAD_PSS && key->Cache.Find(item.DataValueInput, options, &job->Result);
    if (!job->Cached) key->Cache.Forget();
    return 0;
}

// A certificate is loaded once and never again while keys share it: its serial number can be read
// without the lock.
static const char* SerialOf(const TLUProviderKey& key) {
    return key.certificate && key.certificate->SerialNumber ? key.certificate->SerialNumber : "";
}

// The calling window's title (for the trace) and the request; uses nothing but the job, the window system
// and the process's signing-service client, so it runs without the provider's lock.
static int luSignSend(TLUSignJob* job) {
    if (job->Cached) return 0;
    // The calling application's window names the request in the trace, and nowhere else: with none
    // of the levels that would show it, the window (calls into the window system) is not looked at.
    if (gPlatDebug && gPlatDebug->IsLevelOn(DBHEAD_0 | DBERRO_0 | DBWARN_0 | DBINFO_0)) {
        TParentWin parentWin;
        parentWin.Update();
        job->HashAlias = parentWin.ParentGetTitle();
    } else {
        job->HashAlias = kParentWinNoTitle;
    }
    TRACE(DBINFO_0, "EncryptDecrypt: Do ENCRYPT with PrivateKey\n");
    TLUConex* conex = gLumidra ? &gLumidra->Conex : nullptr;
    int codErro = 0;
    TLUFailure failure = TLUFailure::Unreachable;
    bool requested = conex && conex->Request_EncryptDecrypt(&job->Item, SerialOf(*job->Key), job->Token.Text,
                                                            true, job->HashAlias.c_str(), &codErro, &failure);
    job->Token.Clear();
    if (!requested) {
        TRACE(DBERRO_0, "Erro na Request_EncryptDecrypt, Request_CodErro=[%d], Request_MsgErro=[%s]\n",
              codErro, conex ? TLUConex::MsgErroDefault : "Cliente do servico de assinatura indisponivel");
        TRACE(DBERRO_0, "Falha na assinatura, classe=[%s]\n", luFailureName(failure));
        return luFailureResult(failure, NTE_SYS_ERR);
    }
    return 0;
}

// The answer checked, taken as the result and cached in the key.
static int luSignTakeAnswer(TLUSignJob* job) {
    if (job->Cached) return 0;
    const TVarnoMemory& signature = job->Item.DataResult;
    // The client took only an answer of the block's length; the key checks it turns back into the
    // block (its length with it). A wrong answer is neither returned nor cached.
    int result = job->Key->CheckPrivateResult(job->Item.DataValuePadded, signature);
    if (result != 0) return result;
    if (!job->Result.LoadFromMemory(signature.FileData, signature.LenFileData)) return NTE_NO_MEMORY;
    if (job->Options.KeyPadding != TKP_PAD_PSS)
        job->Key->Cache.Store(job->Item.DataValueInput, job->Options, signature);
    return 0;
}

// The result checked and cached in the key.
static int luSignFinish(TLUSignJob* job) {
    int result = luSignTakeAnswer(job);
    if (result != 0) {
        // A failed input is never served from the cache.
        job->Key->Cache.Forget();
        if (result == NTE_SYS_ERR) {
            TRACE(DBERRO_0, "Falha na assinatura, classe=[%s]\n", luFailureName(TLUFailure::AnswerUnusable));
            return luFailureResult(TLUFailure::AnswerUnusable, result);
        }
        return result;
    }
    TRACE_DUMP(DBINFO_0, "EncryptDecrypt: DataValueInput ", job->Item.DataValueInput.FileData,
               static_cast<int>(job->Item.DataValueInput.LenFileData));
    TRACE_DUMP(DBINFO_0, "EncryptDecrypt: DataValueOutput", job->Result.FileData,
               static_cast<int>(job->Result.LenFileData));
    return 0;
}

// Work that waits on the system or the network runs without the provider's lock, so that other calls
// of the process go on meanwhile. Releasing the context meanwhile frees the certificate its keys read,
// so the call ends there (ERROR_INVALID_HANDLE) unless hContext is still the context it started with.
static int luRunUnlocked(TLUEntryFrame& frame, ULONG_PTR hContext, const std::function<int()>& work) {
    int result = 0;
    {
        TLUEntryUnlock unlocked(frame);
        result = work();
    }
    if (result != 0) return result;
    // A handle is its object's address and the call holds the context: the lookup finds that context or,
    // once it was released, nothing (ERROR_INVALID_HANDLE).
    TLUProvider* session = nullptr;
    std::shared_ptr<TLUProviderKey> again;
    result = luGetProvSessionFromKey(&session, hContext, &again);
    if (result != 0) return result;
    return luCheckParamExt(session);
}

int luSignOperation(TLUEntryFrame& frame, ULONG_PTR hContext, const std::shared_ptr<TLUProviderKey>& context,
                    const std::shared_ptr<TLUProviderKey>& key, const TVarnoMemory& value,
                    const std::function<int(TLUSignOptions*)>& optionsOf, TLUSignJob* job) {
    // The token is read from the registry (a kernel call) for every signature.
    int result = luRunUnlocked(frame, hContext, [&] { return luSignLogin(context, job); });
    if (result != 0) return result;
    TLUSignOptions options{};
    result = optionsOf(&options);
    if (result != 0) return result;
    result = luSignPrepare(job, key, options.Row, value, options.Block);
    if (result != 0) return result;
    result = luRunUnlocked(frame, hContext, [&] { return luSignSend(job); });
    if (result != 0) return result;
    return luSignFinish(job);
}
