// Key objects behind the CSP's provider and key handles. Every key stands for the RSA key pair of one
// certificate: the public half is read from the certificate, the private half lives at the signing
// service. The key itself never talks to the service: it builds blocks and checks signatures, and the
// front end carries the blocks to the service (frontend/luSignPipeline).
#pragma once

#include "certificates/libCertificate.h"
#include "keys/libLUHashPaddingOID.h"
#include "keys/luBlockOptions.h"
#include "keys/luResultCache.h"
#include "platform/TVarnoMemory.h"
#include "platform/platToken.h"

#include <memory>

// Kinds of key; only certificate keys exist.
enum TKeyType : int {
    LUK_TNone = 0,
    LUK_TCertificate = 1,
};

// The access token a login read for one operation; wiped when it goes.
struct TLULoginToken {
    TLULoginToken();
    ~TLULoginToken();
    TLULoginToken(const TLULoginToken&) = delete;
    TLULoginToken& operator=(const TLULoginToken&) = delete;
    void Clear();

    char Text[LU_TOKEN_SIZE];
};

// Where the PP_ENUM* lists of a context stand; CRYPT_FIRST starts one again.
struct TLUEnumPositions {
    uint32_t Containers = 0;
    uint32_t Algorithms = 0;
    uint32_t AlgorithmsEx = 0;
};

class TLUProviderKey {
  public:
    // A certificate key (KeyType LUK_TCertificate) when certificate is given, else an empty one.
    explicit TLUProviderKey(std::shared_ptr<TCertificate> certificate = nullptr, DWORD legacyKeySpec = 0);
    ~TLUProviderKey();
    TLUProviderKey(const TLUProviderKey&) = delete;
    TLUProviderKey& operator=(const TLUProviderKey&) = delete;

    // Key parameters (CPSetKeyParam / CPGetKeyParam).
    int SetParam(DWORD paramSetType, const BYTE* paramValue, DWORD dwFlags);
    int GetParam(DWORD paramGetType, BYTE* paramValue, DWORD* paramSize, DWORD dwFlags);

    // Login step before every private-key operation: the certificate's stored token, read from the
    // current user's registry into token.
    int VerifyLogin(bool HasFlagCryptSilent, DWORD dwFlags, TLULoginToken* token);
    int VerifyLogin_LoadLocalToken(TCertificate* certificate, TLULoginToken* token);

    // Rows of the hash table, by internal type or by ALG_ID. A plain int is ambiguous between the two
    // and therefore refused at compile time.
    static int EncryptDecryptHashGetPaddingOIDInfo(const THashPaddingOIDInfo** retHashPaddingOIDInfo,
                                                   THashAlgType HashAlgType);
    static int EncryptDecryptHashGetPaddingOIDInfo(const THashPaddingOIDInfo** retHashPaddingOIDInfo,
                                                   ALG_ID AlgId);
    static int EncryptDecryptHashGetPaddingOIDInfo(const THashPaddingOIDInfo** retHashPaddingOIDInfo,
                                                   int ambiguous) = delete;
    // DigestInfo prefix of the row + the hash value into DataValuePadding.
    static int EncryptDecryptHashPaddingOID(const TVarnoMemory* DataValue, TVarnoMemory* DataValuePadding,
                                            const THashPaddingOIDInfo* HashPaddingOIDInfo, bool IsEncrypt);
    // input -> padded, exactly KeyLenght bytes. IsEncrypt false pads nothing (the bare block).
    static int EncryptDecryptPadding(const TVarnoMemory& input, TVarnoMemory* padded, int KeyLenght,
                                     bool IsEncrypt, const TLUBlockOptions& options);

    // The block a private-key operation of this key signs: DigestInfo of row and value (row null: the
    // value as it is) into input, padded with options into block. Nothing of the key changes.
    int BuildBlock(const THashPaddingOIDInfo* row, const TVarnoMemory& value, const TLUBlockOptions& options,
                   TVarnoMemory* input, TVarnoMemory* block) const;
    // 0, or NTE_BAD_SIGNATURE when DataHashSigned (big-endian) is no signature of value under row.
    int VerifySignatureHash(const TVarnoMemory& value, const THashPaddingOIDInfo* row,
                            const TVarnoMemory& DataHashSigned, const TLUBlockOptions& options) const;

    // PSS with the hash of row: value must be a hash of that length and the salt must fit the key
    // (NTE_INVALID_PARAMETER otherwise). The encoded block is random: a new salt every time.
    int CheckPssOptions(const THashPaddingOIDInfo* row, uint32_t lenValue, int saltLength) const;
    int BuildPssBlock(const THashPaddingOIDInfo* row, const TVarnoMemory& value, int saltLength,
                      TVarnoMemory* block) const;
    // 0 when recovered (the signature through the public key) is a PSS encoding of value.
    int VerifyPssBlock(const THashPaddingOIDInfo* row, const TVarnoMemory& value, int saltLength,
                       const TVarnoMemory& recovered) const;

    // 0 when result (big-endian) turned back with the public key gives exactly block, the block it was
    // asked for; NTE_SYS_ERR otherwise: an answer of the signing service is never trusted unchecked.
    int CheckPrivateResult(const TVarnoMemory& block, const TVarnoMemory& result) const;

    // PUBLICKEYBLOB (BLOBHEADER, RSAPUBKEY, modulus little-endian) and BCRYPT_RSAPUBLIC_BLOB
    // (BCRYPT_RSAKEY_BLOB, exponent, modulus big-endian) of the certificate's key.
    int BuildPublicKeyBlob(TVarnoMemory* blob) const;
    // A PUBLICKEYBLOB (RSA) as a new key without certificate, for verifying; NTE_BAD_DATA for any other.
    static int ReadPublicKeyBlob(const BYTE* blob, DWORD lenBlob, std::shared_ptr<TLUProviderKey>* key);
    int BuildRsaPublicBlob(TVarnoMemory* blob) const;

    // The modulus size in bytes, 0 for a key without certificate.
    int KeyLenght() const;
    bool HasCertificate() const { return KeyType == LUK_TCertificate && certificate; }

    int KeyType;
    // Shared with the certificate list: the key keeps its certificate after the list dropped it.
    std::shared_ptr<TCertificate> certificate;
    TLUEnumPositions EnumPositions;
    // Padding of CPEncrypt, set with KP_PADDING; signatures always use PKCS #1.
    int KeyPadding;
    int KeyPaddingPKCS1Type;
    ALG_ID AlgId;
    DWORD LegacyKeySpec;
    // Data collected by CPEncrypt until the key goes.
    TVarnoMemory EncryptData;
    // The last private-key result of this key.
    TLUResultCache Cache;
};
