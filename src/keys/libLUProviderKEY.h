// Key objects behind the CSP's provider and key handles. Every key stands for the RSA key pair of one
// certificate: the public half is read from the certificate, the private half lives at the signing
// service and is only reached through a request.
#pragma once

#include "certificates/libCertificate.h"
#include "frontend/libLUProviderDataHash.h"
#include "keys/libLUHashPaddingOID.h"
#include "platform/TVarnoList.h"
#include "platform/TVarnoMemory.h"
#include "platform/platHASH.h"
#include "platform/platParentWin.h"

class TLUProvider;

// Padding schemes of a key (the library's own values; KP_PADDING maps onto them).
enum TKeyPadding : int {
    TKP_PAD_NONE = 0,
    TKP_PAD_PKCS1 = 1,
    TKP_PAD_PKCS5 = 2,
    TKP_PAD_ISO7816 = 3,
    TKP_PAD_ZERO = 4,
    TKP_PAD_RANDOM = 5,
};

// PKCS #1 v1.5 block types.
enum TKeyPaddingPKCS1Type : int {
    TKS1_Type1_PrivateKey = 1,
    TKS1_Type2_PublicKey = 2,
};

// Kinds of key; only certificate keys exist.
enum TKeyType : int {
    LUK_TNone = 0,
    LUK_TCertificate = 1,
};

// One block on its way through a key operation. Blocks and results are big-endian.
class TDataEncryptDecrypt {
  public:
    TDataEncryptDecrypt();
    ~TDataEncryptDecrypt();
    TDataEncryptDecrypt(const TDataEncryptDecrypt&) = delete;
    TDataEncryptDecrypt& operator=(const TDataEncryptDecrypt&) = delete;

    void Clear();
    void ClearSignature();
    // HashID = hex MD5 of "ID<IndiceID>" + DataValueInput; DataValueBase64 = one-line Base64 of
    // DataValuePadded.
    bool ComputeHashID(int IndiceID);
    // DataResult = the decoded text.
    bool LoadDataResultBase64(const char* SetDataResultBase64);

    TPlatHASH Hash;
    TVarnoMemory HashID;
    TVarnoMemory DataValueInput;
    TVarnoMemory DataValuePadded;
    TVarnoMemory DataValueBase64;
    TVarnoMemory DataResult;
    bool IsSigned;
};

class TLUProviderKey {
  public:
    TLUProviderKey();
    ~TLUProviderKey();
    TLUProviderKey(const TLUProviderKey&) = delete;
    TLUProviderKey& operator=(const TLUProviderKey&) = delete;

    // Key parameters (CPSetKeyParam / CPGetKeyParam).
    int SetParam(DWORD paramSetType, const BYTE* paramValue, DWORD dwFlags);
    int GetParam(DWORD paramGetType, BYTE* paramValue, DWORD* paramSize, DWORD dwFlags);

    // Login step before every private-key operation: loads the certificate's stored token into the
    // signing-service client.
    int VerifyLogin(bool HasFlagCryptSilent, DWORD dwFlags);
    int VerifyLogin_LoadLocalToken(TCertificate* certificate);

    // DataValueInput -> DataValuePadded, exactly KeyLenght bytes.
    int EncryptDecryptPadding(TDataEncryptDecrypt* DataEncryptDecrypt, bool IsEncrypt, int KeyPadding);

    // Rows of the hash table, by internal type or by ALG_ID. A plain int is ambiguous between the two
    // and therefore refused at compile time.
    static int EncryptDecryptHashGetPaddingOIDInfo(const THashPaddingOIDInfo** retHashPaddingOIDInfo,
                                                   THashAlgType HashAlgType);
    static int EncryptDecryptHashGetPaddingOIDInfo(const THashPaddingOIDInfo** retHashPaddingOIDInfo,
                                                   ALG_ID AlgId);
    static int EncryptDecryptHashGetPaddingOIDInfo(const THashPaddingOIDInfo** retHashPaddingOIDInfo,
                                                   int ambiguous) = delete;
    // DigestInfo prefix + hash value of DataValue into DataValuePadding.
    static int EncryptDecryptHashPaddingOID(TLUProviderDataHash* DataValue, TVarnoMemory* DataValuePadding,
                                            const THashPaddingOIDInfo* HashPaddingOIDInfo, bool IsEncrypt);

    // RSA operation of this key over one block; the output is KeyLenght bytes, big-endian.
    int EncryptDecrypt(TVarnoMemory* DataValueInput, TVarnoMemory* DataValueOutput, bool IsEncrypt,
                       bool IsUsePrivateKey);
    int EncryptDecryptHash(TLUProviderDataHash* DataValue, TVarnoMemory* DataResult, int HashAlgType,
                           bool IsEncrypt, bool IsUsePrivateKey);
    // 0, or NTE_BAD_SIGNATURE when DataHashSigned (big-endian) does not sign the hash value.
    int VerifySignatureHash(TLUProviderDataHash* DataValueHashPlain, TVarnoMemory* DataHashSigned,
                            int HashAlgType);

    // The private-key operation over LastDataEncryptDecrypt.DataValuePadded, done by the signing
    // service; fills LastDataEncryptDecrypt.DataResult. Result code.
    int EncryptDecrypt_RequestPrivateKey(bool IsEncrypt, const char* HashAlias);

    TDataEncryptDecrypt LastDataEncryptDecrypt;
    char TokenLocal[256];
    // The calling application's window; its title goes with the sign request as alias.
    TParentWin ParentWin;
    int KeyType;
    // Not owned: it belongs to the certificate list of TLumidra.
    TCertificate* certificate;
    TLUProvider* ProviderSession;
    int KeyPadding;
    int KeyPaddingPKCS1Type;
    ALG_ID AlgId;
    // Data collected by CPEncrypt.
    TLUProviderDataHash DataHash;
    DWORD LegacyKeySpec;

    // Drops the cached result (LastDataEncryptDecrypt); no later call is answered from it.
    void CacheForget();

  private:
    // What the cached result in LastDataEncryptDecrypt was made with; a call is answered from the cache
    // only when all of it and the whole input are the same.
    bool CacheValid;
    bool CacheIsEncrypt;
    bool CacheIsUsePrivateKey;
    int CacheKeyPadding;
    int CacheKeyPaddingPKCS1Type;
};

// Owns its keys.
class TLUListProviderKey : public TVarnoList {
  public:
    TLUListProviderKey() = default;
    ~TLUListProviderKey();

    TLUProviderKey* AddNewKey();
    TLUProviderKey* AddNewKey(TCertificate* CertToLoad);
    bool Add(TLUProviderKey* key);
    int Count();
    // Removes the key and hands it to the caller, or null when it is not in the list.
    TLUProviderKey* Delete(TLUProviderKey* key);
    // Destroys every key, then empties the list.
    bool Clear();
};
