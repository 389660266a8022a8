// sign, verify and export-pubkey: the sequences an application runs through CryptoAPI.
#include "KspClient.h"
#include "LucspCommands.h"
#include "LucspErrors.h"
#include "LucspSession.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>

namespace {

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

bool GetAlg(TCommand& cmd, const THashAlg*& alg) {
    std::string name;
    if (!cmd.Require("--alg", name)) return false;
    for (const THashAlg& a : lucspHashAlgs())
        if (name == a.Name) {
            alg = &a;
            return true;
        }
    cmd.Usage("--alg wants sha1|sha256|sha384|sha512, not '" + name + "'");
    return false;
}

// Hashes the file with OpenSSL; the provider only ever receives the finished hash.
uint32_t HashFile(const std::string& path, const THashAlg& alg, std::vector<uint8_t>& hash) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return LUCSP_ERROR_FILE_NOT_FOUND;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || !EVP_DigestInit_ex(ctx.get(), alg.Md(), nullptr)) return LUCSP_ERROR_FUNCTION_FAILED;
    std::vector<char> buf(1 << 16);
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        std::streamsize n = in.gcount();
        if (n > 0 && !EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<size_t>(n)))
            return LUCSP_ERROR_FUNCTION_FAILED;
    }
    if (in.bad()) return LUCSP_ERROR_READ_FAULT;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!EVP_DigestFinal_ex(ctx.get(), md, &len)) return LUCSP_ERROR_FUNCTION_FAILED;
    hash.assign(md, md + len);
    return 0;
}

// --hash HEX or --file PATH, exactly one; the length must be the algorithm's.
bool GetHash(TCommand& cmd, const THashAlg& alg, std::vector<uint8_t>& hash) {
    bool hasHash = cmd.Args.Has("--hash"), hasFile = cmd.Args.Has("--file");
    if (hasHash == hasFile) {
        cmd.Usage("give either --hash HEX or --file PATH");
        return false;
    }
    if (hasHash) {
        if (!lucspParseHex(cmd.Args.Get("--hash"), hash)) {
            cmd.Usage("--hash is not hexadecimal: '" + cmd.Args.Get("--hash") + "'");
            return false;
        }
        if (hash.size() != alg.Length) {
            cmd.Fail("--hash is " + std::to_string(hash.size()) + " byte(s) long, " + alg.Name + " takes " +
                         std::to_string(alg.Length),
                     LUCSP_NTE_BAD_LEN);
            return false;
        }
        return true;
    }
    std::string path = cmd.Args.Get("--file");
    if (uint32_t code = HashFile(path, alg, hash)) {
        cmd.Fail("cannot hash " + path, code);
        return false;
    }
    return true;
}

struct TSignFigures {
    double Acquire = 0, Length = 0, Sign = 0, Total = 0;
};

uint32_t SignOnce(TCryptoClient& client, const std::string& container, const THashAlg& alg,
                  const std::vector<uint8_t>& hash, DWORD flags, std::vector<uint8_t>& sig, TSignFigures& fig,
                  std::string& context) {
    auto t0 = std::chrono::steady_clock::now();
    TSession s(client);
    uint32_t code = lucspOpenHash(s, container, alg, hash, context);
    fig.Acquire = MsSince(t0);
    if (code) return code;
    // The usual two calls: the length first (the remote request happens here), then the signature,
    // which the provider answers from its one-entry cache.
    auto t1 = std::chrono::steady_clock::now();
    DWORD len = 0;
    if ((code = client.SignHash(s.Prov, s.Hash, AT_SIGNATURE, flags, nullptr, &len))) return code;
    fig.Length = MsSince(t1);
    sig.assign(len, 0);
    auto t2 = std::chrono::steady_clock::now();
    if ((code = client.SignHash(s.Prov, s.Hash, AT_SIGNATURE, flags, sig.data(), &len))) return code;
    fig.Sign = MsSince(t2);
    sig.resize(len);
    fig.Total = MsSince(t0);
    return 0;
}

std::string EncodeOut(const std::vector<uint8_t>& data, const std::string& format) {
    if (format == "base64") return lucspBase64(data) + "\n";
    if (format == "raw") return std::string(data.begin(), data.end());
    return lucspHex(data) + "\n";
}

// Writes to --out or prints; raw bytes only go to a file.
int Emit(TCommand& cmd, const std::vector<uint8_t>& data, const std::string& format, const char* what) {
    std::string text = EncodeOut(data, format);
    if (cmd.Args.Has("--out")) {
        std::string path = cmd.Args.Get("--out");
        if (uint32_t code = lucspWriteFile(path, text)) return cmd.Fail("cannot write " + path, code);
        std::fprintf(stderr, "lucsp %s: %zu-byte %s written to %s\n", cmd.Def.Name, data.size(), what,
                     path.c_str());
        return 0;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return 0;
}

int RunSign(TCommand& cmd) {
    const THashAlg* alg = nullptr;
    std::string container, format, order;
    std::vector<uint8_t> hash;
    long repeat = 1;
    if (!cmd.Require("--container", container) || !GetAlg(cmd, alg)) return cmd.ExitCode;
    if (!cmd.GetChoice("--format", {"hex", "base64", "raw"}, format) ||
        !cmd.GetChoice("--order", {"cryptoapi", "big-endian"}, order) ||
        !cmd.GetInt("--repeat", 1, 100000, 1, repeat))
        return cmd.ExitCode;
    if (format == "raw" && !cmd.Args.Has("--out")) return cmd.Usage("--format raw needs --out FILE");
    if (!GetHash(cmd, *alg, hash)) return cmd.ExitCode;
    DWORD flags = cmd.Args.Has("--no-hash-oid") ? CRYPT_NOHASHOID : 0;
    std::string provider, padding;
    if (!cmd.GetChoice("--provider", {"csp", "ksp"}, provider) ||
        !cmd.GetChoice("--padding", {"pkcs1", "pss"}, padding))
        return cmd.ExitCode;
    if (padding == "pss" && provider != "ksp") return cmd.Usage("--padding pss needs --provider ksp");
    if (provider == "ksp" && (flags || repeat > 1))
        return cmd.Usage("--provider ksp signs once, with the DigestInfo");

    TCryptoClient client;
    if (!lucspOpenLibrary(cmd, client)) return cmd.ExitCode;
    std::vector<uint8_t> sig;
    if (provider == "ksp") {
        // CNG names the hash as the algorithm's upper-case name; the signature comes big-endian.
        std::string name = alg->Name;
        for (char& c : name)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        TKspClient ksp;
        uint32_t code = ksp.Open(client.LibraryPath());
        if (!code) code = ksp.Sign(container, name.c_str(), hash, padding == "pss", sig);
        if (code) return cmd.Fail(ksp.FailedCall() + " failed", code);
        if (order == "cryptoapi") std::reverse(sig.begin(), sig.end());
        return Emit(cmd, sig, format, "signature");
    }

    std::vector<TSignFigures> figures;
    for (long i = 0; i < repeat; ++i) {
        TSignFigures fig;
        std::string context;
        if (uint32_t code = SignOnce(client, container, *alg, hash, flags, sig, fig, context))
            return lucspFailCall(cmd, client, code, context);
        figures.push_back(fig);
    }
    if (order == "big-endian") std::reverse(sig.begin(), sig.end());

    if (cmd.Args.Has("--stats") || repeat > 1) {
        double sum = 0, low = 1e300, high = 0, first = figures.front().Total;
        for (const TSignFigures& f : figures) {
            sum += f.Total;
            low = std::min(low, f.Total);
            high = std::max(high, f.Total);
        }
        const TSignFigures& last = figures.back();
        std::fprintf(
            stderr,
            "lucsp sign: %ld signature(s) of %zu bits with %s; per signature: avg %s, min %s, max %s "
            "(first %s); last one: context and hash %s, remote sign (length query) %s, copy from cache %s\n",
            repeat, sig.size() * 8, alg->Name, lucspMs(sum / repeat).c_str(), lucspMs(low).c_str(),
            lucspMs(high).c_str(), lucspMs(first).c_str(), lucspMs(last.Acquire).c_str(),
            lucspMs(last.Length).c_str(), lucspMs(last.Sign).c_str());
    }
    return Emit(cmd, sig, format, "signature");
}

bool GetSignature(TCommand& cmd, std::vector<uint8_t>& sig) {
    std::string format, order;
    if (!cmd.GetChoice("--format", {"hex", "base64", "raw"}, format) ||
        !cmd.GetChoice("--order", {"cryptoapi", "big-endian"}, order))
        return false;
    bool hasText = cmd.Args.Has("--signature"), hasFile = cmd.Args.Has("--signature-file");
    if (hasText == hasFile) {
        cmd.Usage("give either --signature TEXT or --signature-file FILE");
        return false;
    }
    std::string text;
    if (hasText) {
        if (format == "raw") {
            cmd.Usage("--format raw needs --signature-file");
            return false;
        }
        text = cmd.Args.Get("--signature");
    } else {
        std::string path = cmd.Args.Get("--signature-file");
        if (uint32_t code = lucspReadFile(path, text)) {
            cmd.Fail("cannot read " + path, code);
            return false;
        }
    }
    bool ok = format == "raw"   ? (sig.assign(text.begin(), text.end()), !sig.empty())
              : format == "hex" ? lucspParseHex(text, sig)
                                : lucspParseBase64(text, sig);
    if (!ok) {
        cmd.Fail("the signature is not " + format + (format == "raw" ? " (empty)" : " text"),
                 LUCSP_ERROR_INVALID_DATA);
        return false;
    }
    // The provider takes CryptoAPI's order, least significant byte first.
    if (order == "big-endian") std::reverse(sig.begin(), sig.end());
    return true;
}

int RunVerify(TCommand& cmd) {
    const THashAlg* alg = nullptr;
    std::string container;
    std::vector<uint8_t> hash, sig;
    if (!cmd.Require("--container", container) || !GetAlg(cmd, alg) || !GetHash(cmd, *alg, hash) ||
        !GetSignature(cmd, sig))
        return cmd.ExitCode;

    TCryptoClient client;
    if (!lucspOpenLibrary(cmd, client)) return cmd.ExitCode;
    auto t0 = std::chrono::steady_clock::now();
    TSession s(client);
    std::string context;
    uint32_t code = lucspOpenHash(s, container, *alg, hash, context);
    // CryptVerifySignature wants a key handle; the provider checks against the certificate's key anyway.
    if (!code) code = client.GetUserKey(s.Prov, AT_SIGNATURE, &s.Key);
    if (!code)
        code = client.VerifySignature(s.Prov, s.Hash, sig.data(), static_cast<DWORD>(sig.size()), s.Key, 0);
    if (code == LUCSP_NTE_BAD_SIGNATURE)
        return cmd.Fail(client.FailedCall() +
                            ": the signature does not match the hash and the certificate of " + container,
                        code);
    if (code) return lucspFailCall(cmd, client, code, context);
    std::printf("signature OK (%zu bits, %s, container %s, %s)\n", sig.size() * 8, alg->Name,
                container.c_str(), lucspMs(MsSince(t0)).c_str());
    return 0;
}

// PUBLICKEYBLOB: BLOBHEADER (type 6, version 2, reserved, aiKeyAlg), RSAPUBKEY ("RSA1", bitlen, pubexp),
// then the modulus least significant byte first.
uint32_t BlobToPEM(const std::vector<uint8_t>& blob, std::string& pem, std::string& why) {
    auto le32 = [&](size_t at) {
        return static_cast<uint32_t>(blob[at]) | (static_cast<uint32_t>(blob[at + 1]) << 8) |
               (static_cast<uint32_t>(blob[at + 2]) << 16) | (static_cast<uint32_t>(blob[at + 3]) << 24);
    };
    if (blob.size() < 20 || blob[0] != PUBLICKEYBLOB || blob[1] != 2 || le32(8) != 0x31415352u) {
        why = "the provider's blob is not an RSA PUBLICKEYBLOB";
        return LUCSP_NTE_BAD_DATA;
    }
    uint32_t bits = le32(12), exponent = le32(16);
    size_t modLen = (bits + 7) / 8;
    if (bits == 0 || blob.size() != 20 + modLen) {
        why = "the blob's length does not fit its bit length " + std::to_string(bits);
        return LUCSP_NTE_BAD_DATA;
    }
    std::vector<uint8_t> modulus(blob.begin() + 20, blob.end());
    std::reverse(modulus.begin(), modulus.end());
    std::unique_ptr<BIGNUM, void (*)(BIGNUM*)> n(
        BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr), BN_free);
    std::unique_ptr<BIGNUM, void (*)(BIGNUM*)> e(BN_new(), BN_free);
    std::unique_ptr<OSSL_PARAM_BLD, void (*)(OSSL_PARAM_BLD*)> bld(OSSL_PARAM_BLD_new(), OSSL_PARAM_BLD_free);
    if (!n || !e || !bld || !BN_set_word(e.get(), exponent) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get())) {
        why = "cannot build the key";
        return LUCSP_ERROR_FUNCTION_FAILED;
    }
    std::unique_ptr<OSSL_PARAM, void (*)(OSSL_PARAM*)> params(OSSL_PARAM_BLD_to_param(bld.get()),
                                                              OSSL_PARAM_free);
    std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> ctx(
        EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) <= 0) {
        why = "OpenSSL refuses the key of the blob";
        return LUCSP_NTE_BAD_DATA;
    }
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> keyGuard(key, EVP_PKEY_free);
    std::unique_ptr<BIO, void (*)(BIO*)> bio(BIO_new(BIO_s_mem()), BIO_free_all);
    if (!bio || !PEM_write_bio_PUBKEY(bio.get(), key)) {
        why = "cannot write PEM";
        return LUCSP_ERROR_FUNCTION_FAILED;
    }
    char* data = nullptr;
    long len = BIO_get_mem_data(bio.get(), &data);
    pem.assign(data, static_cast<size_t>(len));
    return 0;
}

int RunExportPubkey(TCommand& cmd) {
    std::string container, format;
    if (!cmd.Require("--container", container) || !cmd.GetChoice("--format", {"pem", "blob", "hex"}, format))
        return cmd.ExitCode;
    TCryptoClient client;
    if (!lucspOpenLibrary(cmd, client)) return cmd.ExitCode;
    std::vector<uint8_t> blob;
    {
        TSession s(client);
        std::string context = "container " + container;
        uint32_t code = client.AcquireContext(&s.Prov, container.c_str(), 0);
        if (!code) code = client.GetUserKey(s.Prov, AT_SIGNATURE, &s.Key);
        DWORD len = 0;
        if (!code) code = client.ExportKey(s.Prov, s.Key, PUBLICKEYBLOB, nullptr, &len);
        if (!code) {
            blob.assign(len, 0);
            code = client.ExportKey(s.Prov, s.Key, PUBLICKEYBLOB, blob.data(), &len);
            blob.resize(len);
        }
        if (code) return lucspFailCall(cmd, client, code, context);
    }
    if (format == "pem") {
        std::string pem, why;
        if (uint32_t code = BlobToPEM(blob, pem, why)) return cmd.Fail(why, code);
        if (cmd.Args.Has("--out")) {
            std::string path = cmd.Args.Get("--out");
            if (uint32_t code = lucspWriteFile(path, pem)) return cmd.Fail("cannot write " + path, code);
            return 0;
        }
        std::fputs(pem.c_str(), stdout);
        return 0;
    }
    // blob: the bytes themselves to a file, hexadecimal on the terminal.
    if (format == "blob" && cmd.Args.Has("--out")) return Emit(cmd, blob, "raw", "PUBLICKEYBLOB");
    return Emit(cmd, blob, "hex", "PUBLICKEYBLOB");
}

const char kSignDetails[] =
    "Runs what an application does: CryptAcquireContext with the container, CryptCreateHash,\n"
    "CryptSetHashParam(HP_HASHVAL), CryptSignHash for the length and then for the signature, and releases\n"
    "everything. With --file the tool hashes the file; the provider still receives only the hash.\n"
    "The signature is printed least significant byte first, as CryptoAPI returns it (--order cryptoapi),\n"
    "or most significant byte first (--order big-endian), which is what OpenSSL and PKCS #1 expect.\n"
    "--format raw writes the bytes themselves and needs --out.\n";

const char kVerifyDetails[] =
    "Runs CryptAcquireContext, CryptCreateHash, CryptSetHashParam(HP_HASHVAL), CryptGetUserKey and\n"
    "CryptVerifySignature. The provider checks the signature locally against the certificate's public key.\n"
    "--format and --order describe the signature as given (defaults: hex, cryptoapi).\n"
    "Exit status 0 when the signature matches, 1 with NTE_BAD_SIGNATURE when it does not.\n";

const char kExportDetails[] =
    "CryptGetUserKey and CryptExportKey(PUBLICKEYBLOB). pem (default) converts the blob into a PEM\n"
    "SubjectPublicKeyInfo; blob writes the blob's bytes to --out (hexadecimal without --out); hex prints\n"
    "the blob in hexadecimal.\n";

} // namespace

void lucspAddSignCommands(std::vector<TCommandDef>& table) {
    const TOptionDef container = {"--container", "SERIAL",
                                  "the certificate's serial number (its key container)"};
    const TOptionDef alg = {"--alg", "ALG", "sha1|sha256|sha384|sha512"};
    const TOptionDef hash = {"--hash", "HEX", "the hash value"};
    const TOptionDef file = {"--file", "PATH", "hash this file instead"};
    table.push_back(TCommandDef{
        "sign",
        "--container SERIAL --alg ALG (--hash HEX | --file PATH) [--no-hash-oid] [--out FILE] "
        "[--format hex|base64|raw] [--order cryptoapi|big-endian] [--repeat N] [--stats] [--provider "
        "csp|ksp] "
        "[--padding pkcs1|pss]",
        "Sign a hash through the provider (the private key stays in the signing service).",
        {container,
         alg,
         hash,
         file,
         {"--no-hash-oid", nullptr, "CRYPT_NOHASHOID: sign the bare hash without the DigestInfo prefix"},
         {"--out", "FILE", "write the signature to FILE instead of printing it"},
         {"--format", "FMT", "hex (default), base64 or raw"},
         {"--order", "ORDER", "cryptoapi (default, least significant byte first) or big-endian"},
         {"--repeat", "N", "sign N times, each in a new context, and print the figures"},
         {"--stats", nullptr, "print the time per signature to stderr"},
         {"--provider", "csp|ksp", "the CryptoAPI provider (default) or the CNG key storage provider"},
         {"--padding", "pkcs1|pss",
          "PKCS #1 v1.5 (default) or RSA-PSS with a salt as long as the hash (ksp)"}},
        0,
        0,
        kSignDetails,
        RunSign,
        true});
    table.push_back(TCommandDef{
        "verify",
        "--container SERIAL --alg ALG (--hash HEX | --file PATH) (--signature TEXT | --signature-file FILE) "
        "[--format hex|base64|raw] [--order cryptoapi|big-endian]",
        "Verify a signature through the provider against the certificate's public key.",
        {container,
         alg,
         hash,
         file,
         {"--signature", "TEXT", "the signature in hex or base64"},
         {"--signature-file", "FILE", "read the signature from FILE"},
         {"--format", "FMT", "hex (default), base64 or raw (file only)"},
         {"--order", "ORDER", "cryptoapi (default) or big-endian"}},
        0,
        0,
        kVerifyDetails,
        RunVerify,
        true});
    table.push_back(TCommandDef{"export-pubkey",
                                "--container SERIAL [--format pem|blob|hex] [--out FILE]",
                                "Export the certificate's public key (PUBLICKEYBLOB or PEM).",
                                {container,
                                 {"--format", "FMT", "pem (default), blob or hex"},
                                 {"--out", "FILE", "write to FILE instead of printing"}},
                                0,
                                0,
                                kExportDetails,
                                RunExportPubkey,
                                true});
}
