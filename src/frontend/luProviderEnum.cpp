#include "frontend/luProviderEnum.h"

#include "frontend/libLumidra.h"
#include "platform/platCopyOut.h"
#include "platform/platDebug.h"
#include "platform/platRotPadroes.h"

#include <algorithm>
#include <cstring>

namespace {

// The key length a list shows for a context without certificate.
const DWORD kDefaultKeyBits = 2048;

struct TAlgorithm {
    ALG_ID AlgId;
    DWORD Bits;
    const char* Name;
    const char* LongName;
};

// The n-th algorithm: the rows of the hash table that name one, then the RSA key in its two uses.
bool AlgorithmAt(uint32_t n, DWORD keyBits, TAlgorithm* out) {
    for (int i = 0; i < LU_QTD_HASH_PADDING_OID; ++i) {
        const THashPaddingOIDInfo& row = HashPaddingOIDInfo[i];
        if (row.AlgId == 0) continue;
        if (n-- == 0) {
            const char* name = ConvWideToAnsiTemp(row.PaddingDesc);
            *out = TAlgorithm{row.AlgId, static_cast<DWORD>(row.LenHash) * 8, name, name};
            return true;
        }
    }
    if (n == 0) *out = TAlgorithm{CALG_RSA_SIGN, keyBits, "RSA_SIGN", "RSA Signature"};
    if (n == 1) *out = TAlgorithm{CALG_RSA_KEYX, keyBits, "RSA_KEYX", "RSA Key Exchange"};
    return n <= 1;
}

void CopyName(const char* name, CHAR* field, size_t room, DWORD* len) {
    size_t n = strnlen(name, room - 1);
    memcpy(field, name, n);
    field[n] = '\0';
    *len = static_cast<DWORD>(n + 1);
}

// Moves *position on only when the item reached the caller.
int Advance(int result, const BYTE* data, uint32_t* position) {
    if (result != 0) return result;
    if (data) ++*position;
    return 0;
}

} // namespace

int luEnumContainers(TLUProviderKey* context, bool reload, BYTE* data, DWORD* size, DWORD flags) {
    uint32_t& position = context->EnumPositions.Containers;
    if (flags & CRYPT_FIRST) {
        position = 0;
        if (reload && gLumidra) gLumidra->Load_CertStore();
    }
    TListCertificate* list = gLumidra ? &gLumidra->ListCertificate : nullptr;
    const uint32_t count = list ? list->Count : 0;
    if (!data) {
        // The size query answers for the longest name, whatever comes next.
        DWORD longest = 0;
        for (uint32_t i = 0; i < count; ++i) {
            TCertificate* cert = list->Get(static_cast<int>(i));
            if (cert && cert->SerialNumber)
                longest = std::max(longest, static_cast<DWORD>(strlen(cert->SerialNumber) + 1));
        }
        if (longest == 0) return ERROR_NO_MORE_ITEMS;
        *size = longest;
        return 0;
    }
    for (; position < count; ++position) {
        TCertificate* cert = list->Get(static_cast<int>(position));
        if (!cert || !cert->SerialNumber) continue;
        const DWORD len = static_cast<DWORD>(strlen(cert->SerialNumber) + 1);
        return Advance(CopyOutValue(cert->SerialNumber, len, data, size, *size, kCopyProvParam), data,
                       &position);
    }
    TRACE(DBINFO_0, "PP_ENUMCONTAINERS: fim da lista, Count=[%u]\n", static_cast<unsigned>(count));
    return ERROR_NO_MORE_ITEMS;
}

int luEnumAlgorithms(TLUProviderKey* context, DWORD param, BYTE* data, DWORD* size, DWORD flags) {
    const bool ex = param == PP_ENUMALGS_EX;
    uint32_t& position = ex ? context->EnumPositions.AlgorithmsEx : context->EnumPositions.Algorithms;
    if (flags & CRYPT_FIRST) position = 0;
    const DWORD keyBits =
        context->HasCertificate() ? static_cast<DWORD>(context->KeyLenght()) * 8 : kDefaultKeyBits;
    TAlgorithm alg;
    if (!AlgorithmAt(position, keyBits, &alg)) return ERROR_NO_MORE_ITEMS;
    if (ex) {
        PROV_ENUMALGS_EX item;
        memset(&item, 0, sizeof(item));
        item.aiAlgid = alg.AlgId;
        item.dwDefaultLen = item.dwMinLen = item.dwMaxLen = alg.Bits;
        CopyName(alg.Name, item.szName, sizeof(item.szName), &item.dwNameLen);
        CopyName(alg.LongName, item.szLongName, sizeof(item.szLongName), &item.dwLongNameLen);
        return Advance(CopyOutValue(&item, sizeof(item), data, size, *size, kCopyProvParam), data, &position);
    }
    PROV_ENUMALGS item;
    memset(&item, 0, sizeof(item));
    item.aiAlgid = alg.AlgId;
    item.dwBitLen = alg.Bits;
    CopyName(alg.Name, item.szName, sizeof(item.szName), &item.dwNameLen);
    return Advance(CopyOutValue(&item, sizeof(item), data, size, *size, kCopyProvParam), data, &position);
}
