// The service settings of the configuration table and the sign endpoint URL composed from them.
#include "platform/platDebug.h"
#include "service/luAppConfig.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const char* const kConexKey = "SOFTWARE\\Varno\\Trelis_Server\\Conex";
const char* const kPath = "/Service/Microservice/PSC/api/v1/integracaopsc/Encrypt";

class EndpointConfig : public ::testing::Test {
  protected:
    void SetUp() override { gPlatDebug = &Log; }
    void TearDown() override { gPlatDebug = nullptr; }

    static void Put(const char* name, DWORD type, const void* data, DWORD size) {
        HKEY k = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kConexKey, 0, nullptr, 0,
                                                 KEY_WOW64_32KEY | KEY_WRITE, nullptr, &k, nullptr));
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(k, name, 0, type, static_cast<const BYTE*>(data), size));
        RegCloseKey(k);
    }
    static void PutDword(const char* name, DWORD v) { Put(name, REG_DWORD, &v, 4); }
    static void PutText(const char* name, const char* text) {
        Put(name, REG_SZ, text, static_cast<DWORD>(strlen(text) + 1));
    }
    static LONG Query(const char* path, const char* name, DWORD* type, std::string* data) {
        HKEY k = nullptr;
        LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_WOW64_32KEY | KEY_READ, &k);
        if (rc != ERROR_SUCCESS) return rc;
        char buf[256];
        DWORD size = sizeof(buf);
        rc = RegQueryValueExA(k, name, nullptr, type, reinterpret_cast<BYTE*>(buf), &size);
        if (rc == ERROR_SUCCESS) data->assign(buf, size);
        RegCloseKey(k);
        return rc;
    }
    std::string Trace() { return ReadWholeFile(Root.Path() + "/C/Varno/008/WIN32_LUKeyCSP.log"); }

    TTestRoot Root;
    TPlatDebug Log;
};

} // namespace

TEST_F(EndpointConfig, EmptyMachineGetsEveryDefaultAndTheProductionHost) {
    {
        TModAppConfig cfg;
        EXPECT_EQ(0, cfg.CNX_SetHomolog);
        EXPECT_STREQ("signer", cfg.HostLabel);
        EXPECT_STREQ("lucsp.invalid", cfg.HostDomain);
        EXPECT_STREQ("signer.lucsp.invalid", cfg.ServiceHost);
        EXPECT_EQ(std::string("https://signer.lucsp.invalid") + kPath, cfg.URL_SignHash);
        EXPECT_STREQ("UNDEFINED", cfg.VersionInstall);
        EXPECT_EQ(10000, cfg.CNX_TO_MS_HTTP_Request);
        EXPECT_STREQ("", cfg.CNX_ServiceHost);
        EXPECT_STREQ("", cfg.CNX_CAFile);
    }
    struct {
        const char* Key;
        const char* Name;
        DWORD Type;
        std::string Data;
    } const expected[] = {
        {"SOFTWARE\\Varno\\Trelis_Server", "SYS_ShowMenuAux", REG_DWORD, std::string(4, '\0')},
        {"SOFTWARE\\Varno\\Trelis_Server", "VersionInstall", REG_SZ, std::string("UNDEFINED\0", 10)},
        {"SOFTWARE\\Varno\\Trelis_Server", "AppPath", REG_SZ, std::string("C:\\Varno\\008\\\0", 14)},
        {kConexKey, "CNX_SetHomolog", REG_DWORD, std::string(4, '\0')},
        {kConexKey, "CNX_SetHomolog_EndPointVersion", REG_DWORD, std::string(4, '\0')},
        {kConexKey, "CNX_TO_MS_HTTP_Request", REG_DWORD, std::string("\x10\x27\0\0", 4)},
        {kConexKey, "CNX_TO_MS_WebSocekt_Internal", REG_DWORD, std::string("\x10\x27\0\0", 4)},
        {kConexKey, "CNX_TO_MS_PushNotification", REG_DWORD, std::string("\xE0\x93\x04\0", 4)},
        {kConexKey, "CNX_ServiceHost", REG_SZ, std::string(1, '\0')},
        {kConexKey, "CNX_CAFile", REG_SZ, std::string(1, '\0')},
        {kConexKey, "CNX_Proxy", REG_SZ, std::string(1, '\0')},
        {"SOFTWARE\\Varno\\Trelis_Server\\Log", "LOG_Level", REG_DWORD, std::string("\x0F\x01\0\0", 4)},
    };
    for (const auto& e : expected) {
        DWORD type = 0;
        std::string data;
        ASSERT_EQ(ERROR_SUCCESS, Query(e.Key, e.Name, &type, &data)) << e.Name;
        EXPECT_EQ(e.Type, type) << e.Name;
        EXPECT_EQ(e.Data, data) << e.Name;
    }
    // Nothing in the 64-bit view.
    HKEY k = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Varno", 0, KEY_WOW64_64KEY | KEY_READ, &k));

    std::string trace = Trace();
    EXPECT_NE(std::string::npos, trace.find("CNX_SetHomolog=[0]\n"));
    EXPECT_NE(std::string::npos, trace.find("CNX_SetHomolog_EndPointVersion=[0]\n"));
    EXPECT_NE(std::string::npos, trace.find(std::string("REQUEST ENCRYPT: URL_SignHash:[https://"
                                                        "signer.lucsp.invalid") +
                                            kPath + "]\n"));
}

TEST_F(EndpointConfig, StagingHostAndEndPointVersion) {
    PutDword("CNX_SetHomolog", 1);
    PutDword("CNX_SetHomolog_EndPointVersion", 5);
    TModAppConfig cfg;
    EXPECT_STREQ("signer-homologacao", cfg.HostLabel);
    EXPECT_STREQ("signer-homologacao.lucsp.invalid", cfg.ServiceHost);
    EXPECT_EQ(std::string("https://signer-homologacao.lucsp.invalid") + kPath, cfg.URL_SignHash);
    EXPECT_EQ(5, cfg.CNX_SetHomolog_EndPointVersion);
    EXPECT_NE(std::string::npos, Trace().find("CNX_SetHomolog_EndPointVersion=[5]\n"));
    // The URL is composed once: a later change of the setting waits for the next start.
    EXPECT_TRUE(cfg.SetValue("CNX_SetHomolog", 0));
    EXPECT_EQ(std::string("https://signer-homologacao.lucsp.invalid") + kPath, cfg.URL_SignHash);
}

TEST_F(EndpointConfig, ServiceHostOverride) {
    PutText("CNX_ServiceHost", "127.0.0.1:8443");
    PutText("CNX_CAFile", "/tmp/ca.pem");
    PutDword("CNX_SetHomolog", 1);
    TModAppConfig cfg;
    EXPECT_STREQ("127.0.0.1:8443", cfg.ServiceHost);
    EXPECT_EQ(std::string("https://127.0.0.1:8443") + kPath, cfg.URL_SignHash);
    EXPECT_STREQ("/tmp/ca.pem", cfg.CNX_CAFile);
    EXPECT_STREQ("/tmp/ca.pem", cfg.GetValueStr("CNX_CAFile"));
    EXPECT_NE(std::string::npos, Trace().find("CNX_ServiceHost=[127.0.0.1:8443]\n"));
}

TEST_F(EndpointConfig, UnsafeOrOverlongHostGivesNoURL) {
    PutText("CNX_ServiceHost", "evil.example/steal?x=");
    {
        TModAppConfig cfg;
        EXPECT_STREQ("", cfg.URL_SignHash);
        EXPECT_NE(std::string::npos,
                  Trace().find("CNX_ServiceHost invalido, CNX_ServiceHost=[evil.example/steal?x=]"));
    }
    PutText("CNX_ServiceHost", std::string(250, 'h').c_str());
    TModAppConfig cfg;
    EXPECT_STREQ("", cfg.URL_SignHash);
    EXPECT_NE(std::string::npos, Trace().find("URL_SignHash excede o tamanho maximo"));
}
