#include "platform/platHASH.h"

#include "platform/TVarnoMemory.h"
#include "platform/platDebug.h"
#include "platform/platTraceScope.h"
#include "platform/platRotPadroes.h"

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/evp.h>

#include <climits>
#include <cstdlib>
#include <cstring>

TPlatHASH::TPlatHASH()
    : plainValue(nullptr), lenPlainValue(0), digestValue(nullptr), LenDigest(0), digestHexAscii(nullptr) {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
}

TPlatHASH::~TPlatHASH() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s>\n", LU_FN);
    free(plainValue);
    free(digestValue);
    free(digestHexAscii);
}

int TPlatHASH::ClearDigest(int newLenDigest) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s newLenDigest=[%d] digestValue=[%p] digestHexAscii=[%p]>\n", LU_FN,
                newLenDigest, static_cast<void*>(digestValue), static_cast<void*>(digestHexAscii));
    free(digestValue);
    free(digestHexAscii);
    digestValue = nullptr;
    digestHexAscii = nullptr;
    LenDigest = newLenDigest;
    int result = 1;
    if (newLenDigest > 0) {
        digestValue = static_cast<BYTE*>(calloc(static_cast<size_t>(newLenDigest), 1));
        if (!digestValue) {
            LenDigest = 0;
            result = 0;
        }
    }
    TRACE_RETURN(result);
}

void TPlatHASH::Clear() {
    TRACE_SCOPE(DBHEAD_L, Plain, "<%s plainValue=[%p] lenPlainValue=[%d]>\n", LU_FN,
                static_cast<void*>(plainValue), lenPlainValue);
    free(plainValue);
    plainValue = nullptr;
    lenPlainValue = 0;
}

int TPlatHASH::Add(const void* buffHash, int lenBuffHash) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s buffHash=[%p] lenBuffHash=[%d]>\n", LU_FN, buffHash, lenBuffHash);
    int result = 0;
    if (buffHash && lenBuffHash > 0 && lenBuffHash < INT_MAX - lenPlainValue - 1) {
        BYTE* grown =
            static_cast<BYTE*>(realloc(plainValue, static_cast<size_t>(lenPlainValue) + lenBuffHash + 1));
        if (grown) {
            plainValue = grown;
            memcpy(plainValue + lenPlainValue, buffHash, static_cast<size_t>(lenBuffHash));
            lenPlainValue += lenBuffHash;
            plainValue[lenPlainValue] = 0;
            result = 1;
        }
    }
    TRACE_RETURN(result);
}

int TPlatHASH::Add(const char* text) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s buffHash=[%p]>\n", LU_FN, static_cast<const void*>(text));
    int result = text ? Add(text, static_cast<int>(strlen(text))) : 0;
    TRACE_RETURN(result);
}

int TPlatHASH::Compute(const char* digestName, int length, BYTE* out) {
    if (!ClearDigest(length)) return 0;
    unsigned int n = 0;
    const EVP_MD* md = EVP_get_digestbyname(digestName);
    if (!md ||
        !EVP_Digest(plainValue ? plainValue : reinterpret_cast<const BYTE*>(""),
                    static_cast<size_t>(lenPlainValue), digestValue, &n, md, nullptr) ||
        static_cast<int>(n) != length)
        return 0;
    digestHexAscii = ConvertToHexAscii(digestValue, length);
    if (out) memcpy(out, digestValue, static_cast<size_t>(length));
    return 1;
}

int TPlatHASH::Compute_SHA256(BYTE* out) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s>\n", LU_FN);
    int result = Compute("SHA256", 32, out);
    TRACE_RETURN(result);
}

int TPlatHASH::Compute_MD5(BYTE* out) {
    TRACE_SCOPE(DBHEAD_L, Int, "<%s>\n", LU_FN);
    int result = Compute("MD5", 16, out);
    TRACE_RETURN(result);
}

char* TPlatHASH::Encode_Base64(const void* buff, int len, BYTE oneLine) {
    TRACE_SCOPE(DBHEAD_L, Pointer, "<%s>\n", LU_FN);
    char* result = nullptr;
    if (!buff || len <= 0) {
        // Nothing to encode: the empty text.
        if (len == 0 || !buff) result = static_cast<char*>(calloc(1, 1));
    } else {
        BIO* b64 = BIO_new(BIO_f_base64());
        BIO* mem = BIO_new(BIO_s_mem());
        if (b64 && mem) {
            BIO* chain = BIO_push(b64, mem);
            BUF_MEM* bm = nullptr;
            if (BIO_write(chain, buff, len) == len && BIO_flush(chain) == 1 &&
                BIO_get_mem_ptr(chain, &bm) == 1 && bm) {
                size_t n = bm->length;
                if (n > 0 && bm->data[n - 1] == '\n') --n;
                result = static_cast<char*>(calloc(n + 1, 1));
                if (result) {
                    memcpy(result, bm->data, n);
                    if (oneLine)
                        RemoveBytePattern(reinterpret_cast<BYTE*>(result), static_cast<int>(n + 1),
                                          reinterpret_cast<const BYTE*>("\n"), 1);
                }
            }
            BIO_free_all(chain);
        } else {
            BIO_free(b64);
            BIO_free(mem);
        }
    }
    TRACE_RETURN(result);
}

int TPlatHASH::Decode_Base64(const char* buffBase64, TVarnoMemory* buffOutput) {
    TRACE_SCOPE(DBHEAD_L, Pointer, "<%s BuffBase64=[%p] buffOutput=[%p]>\n", LU_FN,
                static_cast<const void*>(buffBase64), static_cast<void*>(buffOutput));
    int result = 0;
    if (!buffBase64 || !buffOutput) {
        TRACE(DBERRO_0, "Parametro invalido, BuffBase64=[%p] buffOutput=[%p]\n",
              static_cast<const void*>(buffBase64), static_cast<void*>(buffOutput));
    } else {
        size_t len = strlen(buffBase64);
        if (len > 0 && len < INT_MAX) {
            BIO* b64 = BIO_new(BIO_f_base64());
            BIO* mem = BIO_new_mem_buf(buffBase64, static_cast<int>(len));
            BYTE* scratch = static_cast<BYTE*>(calloc(len, 1));
            if (b64 && mem && scratch) {
                BIO_set_flags(b64, BIO_FLAGS_BASE64_NO_NL);
                BIO* chain = BIO_push(b64, mem);
                int n = BIO_read(chain, scratch, static_cast<int>(len));
                if (n > 0 && buffOutput->Add(scratch, static_cast<uint32_t>(n))) result = 1;
                BIO_free_all(chain);
            } else {
                BIO_free(b64);
                BIO_free(mem);
            }
            free(scratch);
        }
    }
    TRACE_RETURN_AS(result, reinterpret_cast<void*>(static_cast<intptr_t>(result)));
}
