// Settings of a signing server, read once when the library loads: the trace file under a 1 MB cap at the
// default level, and the access token stored as plain text. The library is loaded from its built file
// and signs against a reference signing service on loopback.
#include "dll/dllHarness.h"
#include "support/testExec.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using namespace dllharness;

namespace {

long long FileSize(const std::string& path) {
    std::error_code ec;
    auto n = std::filesystem::file_size(path, ec);
    return ec ? -1 : static_cast<long long>(n);
}

} // namespace

// 400 signatures with a 1 MB cap: both files stay within the cap plus one call's lines; the figure of
// bytes per signature at the default level is reported. The token was stored as plain text.
TEST(ServerSettings, CappedTraceAndPlaintextToken) {
    TTestRoot root;
    TRefSigningService service;
    TRefKeyInfo key;
    const std::string token = "cap-token-0123456789-0123456789-abcdef";
    ASSERT_TRUE(service.Key_Generate(token, "Assinante Cap", 2048, TRefSerialTopBit::Set, &key) &&
                service.Start())
        << service.LastError();
    std::string caFile = root.Path() + "/service-ca.pem";
    std::ofstream(caFile, std::ios::binary) << service.CA_CertPEM();
    std::string traceDir = root.Path() + "/trace";
    std::filesystem::create_directories(traceDir);
    ASSERT_TRUE(WriteEndpointSettings("127.0.0.1:" + std::to_string(service.Port()), caFile,
                                      5000 * testTimeScale(), true, traceDir));
    TVarnoRegedit reg;
    DWORD level = 271, capMB = 1, protect = 0;
    ASSERT_TRUE(
        reg.SetGrupoName(GRUPO_NAME_LOG, "Log", KEY_WOW64_32KEY) &&
        reg.SetGrupoName(GRUPO_NAME_CONEX, "Conex", KEY_WOW64_32KEY) &&
        reg.RegSetValueW("LOG_Level", GRUPO_NAME_LOG, REG_DWORD, &level, sizeof(level)) &&
        reg.RegSetValueW("LOG_MaxSizeMB", GRUPO_NAME_LOG, REG_DWORD, &capMB, sizeof(capMB)) &&
        reg.RegSetValueW("CSP_TokenProtection", GRUPO_NAME_CONEX, REG_DWORD, &protect, sizeof(protect)));
    TCspApi api;
    ASSERT_TRUE(api.Load(LUCSP_DLL_PATH)) << api.Error;
    ASSERT_TRUE(api.TrelisServer_RegisterCertificate(key.CertPEM.data(), static_cast<int>(key.CertPEM.size()),
                                                     token.data(), static_cast<int>(token.size())));
    // With CSP_TokenProtection 0 the token is stored as it came, for other tools that read it.
    TVarnoRegedit user(HKEY_CURRENT_USER);
    char stored[512] = {0};
    DWORD storedLen = sizeof(stored);
    ASSERT_TRUE(user.SetGrupoName(GRUPO_NAME_CERTIFICATE, key.SerialHex.c_str(), KEY_WOW64_64KEY) &&
                user.RegQueryValueW("Token", GRUPO_NAME_CERTIFICATE, REG_BINARY, stored, &storedLen));
    EXPECT_EQ(token, std::string(stored, storedLen));
    const std::string current = traceDir + "/WIN32_LUKeyCSP.log",
                      rotated = traceDir + "/WIN32_LUKeyCSP.1.log";
    const long long cap = 1 << 20;
    long long largestCall = 0, written = 0;
    long long before = FileSize(current);
    const int kSignatures = 400;
    for (int i = 0; i < kSignatures; ++i) {
        // A signing tool's turn: its own context, a hash, the length query and the signature.
        VTableProvStruc vt = MakeVTable();
        HCRYPTPROV prov = 0;
        HCRYPTHASH hash = 0;
        std::vector<BYTE> value(32, static_cast<BYTE>(i)), sig(512);
        value[1] = static_cast<BYTE>(i >> 8);
        DWORD len = static_cast<DWORD>(sig.size());
        ASSERT_TRUE(api.CPAcquireContext(&prov, key.SerialHex.c_str(), 0, &vt));
        ASSERT_TRUE(api.CPCreateHash(prov, CALG_SHA_256, 0, 0, &hash));
        ASSERT_TRUE(api.CPSetHashParam(prov, hash, HP_HASHVAL, value.data(), 0));
        ASSERT_TRUE(api.CPSignHash(prov, hash, AT_SIGNATURE, nullptr, 0, sig.data(), &len))
            << std::hex << GetLastError();
        ASSERT_TRUE(api.CPDestroyHash(prov, hash));
        ASSERT_TRUE(api.CPReleaseContext(prov, 0));
        long long after = FileSize(current);
        // A rotation starts the file again: this turn's bytes are then at most what the new file holds.
        long long turn = after >= before ? after - before : after;
        largestCall = std::max(largestCall, turn);
        written += turn;
        before = after;
        ASSERT_LE(FileSize(current), cap + largestCall);
        ASSERT_LE(FileSize(rotated), cap + largestCall);
    }
    EXPECT_GT(FileSize(rotated), cap - 1);
    ::testing::Test::RecordProperty("trace_bytes_per_signature", std::to_string(written / kSignatures));
    printf("trace at the default level: %lld bytes per signature (largest turn %lld)\n",
           written / kSignatures, largestCall);
    if (const char* keep = getenv("LUCSP_TEST_KEEP_TRACE"))
        std::filesystem::copy_file(current, keep, std::filesystem::copy_options::overwrite_existing);
    api.Unload();
}
