// The registry functions on Linux: Windows semantics, the file layout, views, and sharing between processes.
#include "os/platTypes.h"
#include "platform/platKeptKey.h"
#include "support/testProcess.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

bool IsDir(const std::string& p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& p) {
    struct stat st {};
    return lstat(p.c_str(), &st) == 0;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class Registry : public ::testing::Test {
  protected:
    void TearDown() override {
        for (HKEY k : Open)
            RegCloseKey(k);
    }

    HKEY Create(HKEY root, const char* path, REGSAM sam = KEY_READ | KEY_WRITE, DWORD* disp = nullptr) {
        HKEY k = nullptr;
        LONG rc = RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, sam, nullptr, &k, disp);
        EXPECT_EQ(ERROR_SUCCESS, rc) << path;
        if (k) Open.push_back(k);
        return k;
    }

    LONG OpenKey(HKEY root, const char* path, REGSAM sam, HKEY* out) {
        LONG rc = RegOpenKeyExA(root, path, 0, sam, out);
        if (rc == ERROR_SUCCESS) Open.push_back(*out);
        return rc;
    }

    std::string Reg(const std::string& rel) { return Root.Path() + "/registry/" + rel; }

    TTestRoot Root;
    std::vector<HKEY> Open;
};

} // namespace

TEST_F(Registry, CreateReportsNewThenExistingAndMakesParents) {
    DWORD disp = 0;
    HKEY k = Create(HKEY_CURRENT_USER, "Software\\Acme\\Deep\\Leaf", KEY_READ | KEY_WRITE, &disp);
    ASSERT_NE(nullptr, k);
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disp);
    EXPECT_TRUE(IsDir(Reg("HKCU/software/acme/deep/leaf")));
    Create(HKEY_CURRENT_USER, "SOFTWARE\\ACME\\deep\\LEAF\\", KEY_READ, &disp);
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disp);
    // The spelling of creation is kept for enumeration.
    EXPECT_EQ("Acme", ReadWholeFile(Reg("HKCU/software/acme/.key")));
    HKEY missing = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Nope", 0, KEY_READ, &missing));
    EXPECT_EQ(nullptr, missing);
}

TEST_F(Registry, QueryValueSizesAndBuffers) {
    HKEY k = Create(HKEY_CURRENT_USER, "Software\\Acme");
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 4));
    DWORD type = 0, size = 0;
    // Size only, without a buffer.
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Text", nullptr, &type, nullptr, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(4u, size);
    // Too small: ERROR_MORE_DATA and the needed size.
    char small[2] = {'x', 'x'};
    size = sizeof(small);
    EXPECT_EQ(ERROR_MORE_DATA,
              RegQueryValueExA(k, "Text", nullptr, &type, reinterpret_cast<BYTE*>(small), &size));
    EXPECT_EQ(4u, size);
    char buf[16];
    memset(buf, 'x', sizeof(buf));
    size = 4;
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExA(k, "Text", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size));
    EXPECT_STREQ("abc", buf);
    // Existence check with neither buffer nor size.
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Text", nullptr, &type, nullptr, nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(k, "Missing", nullptr, &type, nullptr, &size));

    // A string stored without its terminator gets one behind it when the buffer has room; the size
    // stays what was stored.
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k, "Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>("xyz"), 3));
    memset(buf, 'x', sizeof(buf));
    size = sizeof(buf);
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExA(k, "Bare", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size));
    EXPECT_EQ(3u, size);
    EXPECT_STREQ("xyz", buf);

    const BYTE bin[] = {0, 1, 0, 0xFF, 0};
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k, "Bin", 0, REG_BINARY, bin, sizeof(bin)));
    BYTE back[8] = {0};
    size = sizeof(back);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Bin", nullptr, &type, back, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    ASSERT_EQ(sizeof(bin), size);
    EXPECT_EQ(0, memcmp(bin, back, sizeof(bin)));

    DWORD v = 0x12345678, got = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k, "Num", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4));
    size = 4;
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExA(k, "Num", nullptr, &type, reinterpret_cast<BYTE*>(&got), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(v, got);

    // An empty value and the key's default (unnamed) value.
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k, "Empty", 0, REG_BINARY, nullptr, 0));
    size = 99;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Empty", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(0u, size);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("def"), 4));
    size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(4u, size);

    // A rewrite replaces the type and data.
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k, "Num", 0, REG_SZ, reinterpret_cast<const BYTE*>("7"), 2));
    size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Num", nullptr, &type, nullptr, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(2u, size);
}

TEST_F(Registry, NamesAreCaseInsensitiveAndKeepTheirSpelling) {
    Create(HKEY_CURRENT_USER, "Software\\MiXeD");
    HKEY k = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, OpenKey(HKEY_CURRENT_USER, "SOFTWARE\\mixed", KEY_ALL_ACCESS, &k));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(k, "Token", 0, REG_BINARY, reinterpret_cast<const BYTE*>("a"), 1));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(k, "TOKEN", 0, REG_BINARY, reinterpret_cast<const BYTE*>("bb"), 2));
    DWORD size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "token", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(2u, size);
    // Latin-1 letters fold too.
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(k, "Ma\xC7\xC3o", 0, REG_DWORD, reinterpret_cast<const BYTE*>("\1\0\0\0"), 4));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "MA\xE7\xE3O", nullptr, nullptr, nullptr, &size));

    char name[64];
    DWORD cch = sizeof(name);
    DWORD type = 0;
    // One value "Token" (first spelling kept) and one "Ma..o"; enumeration order is by stored name.
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        cch = sizeof(name);
        LONG rc = RegEnumValueA(k, i, name, &cch, nullptr, &type, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(ERROR_SUCCESS, rc);
        names.push_back(std::string(name, cch));
    }
    ASSERT_EQ(2u, names.size());
    EXPECT_EQ("Ma\xC7\xC3o", names[0]);
    EXPECT_EQ("Token", names[1]);

    HKEY sw = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, OpenKey(HKEY_CURRENT_USER, "software", KEY_READ, &sw));
    cch = sizeof(name);
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExA(sw, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_STREQ("MiXeD", name);
    EXPECT_EQ(5u, cch);
}

TEST_F(Registry, OnlyKeysWithoutSubkeysCanBeDeleted) {
    Create(HKEY_CURRENT_USER, "Software\\Acme\\Child");
    HKEY acme = Create(HKEY_CURRENT_USER, "Software\\Acme");
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(acme, "V", 0, REG_DWORD, reinterpret_cast<const BYTE*>("\1\0\0\0"), 4));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyExA(HKEY_CURRENT_USER, "Software\\Acme", KEY_WOW64_64KEY, 0));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyExA(HKEY_CURRENT_USER, "Software\\Acme\\Child", KEY_WOW64_64KEY, 0));
    // Values go with their key; a stale temporary file of a crashed writer too.
    WriteFile(Reg("HKCU/software/acme/.tmp-1-2-3"), "LUREG REG_DWORD V\n\2\0\0");
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Acme"));
    EXPECT_FALSE(Exists(Reg("HKCU/software/acme")));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Acme"));
    // The open handle now names a deleted key, also after a key of the same name is made again.
    DWORD size = 0;
    EXPECT_EQ(ERROR_KEY_DELETED, RegQueryValueExA(acme, "V", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_KEY_DELETED,
              RegSetValueExA(acme, "V", 0, REG_DWORD, reinterpret_cast<const BYTE*>("\1\0\0\0"), 4));
    HKEY again = Create(HKEY_CURRENT_USER, "Software\\Acme");
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(again, "W", 0, REG_DWORD, reinterpret_cast<const BYTE*>("\1\0\0\0"), 4));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(again, "V", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_CURRENT_USER, ""));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegDeleteKeyExA(HKEY_CURRENT_USER, nullptr, 0, 0));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueA(again, "w"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(again, "W"));
}

TEST_F(Registry, ViewsOfA32BitProcessOn64BitWindows) {
    const DWORD one = 1, two = 2;
    HKEY k32 = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Varno\\X", KEY_WOW64_32KEY | KEY_READ | KEY_WRITE);
    HKEY k64 = Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Varno\\X", KEY_WOW64_64KEY | KEY_READ | KEY_WRITE);
    EXPECT_TRUE(IsDir(Reg("HKLM/software/wow6432node/varno/x")));
    EXPECT_TRUE(IsDir(Reg("HKLM/software/varno/x")));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k32, "N", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k64, "N", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&two), 4));

    // Without a flag the library sees what a 32-bit process sees.
    HKEY def = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, OpenKey(HKEY_LOCAL_MACHINE, "Software\\Varno\\X", KEY_READ, &def));
    DWORD v = 0, size = 4;
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExA(def, "N", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size));
    EXPECT_EQ(one, v);
    // The 64-bit view reaches the 32-bit one by its explicit path.
    HKEY node = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\WOW6432Node\\Varno\\X",
                                     KEY_WOW64_64KEY | KEY_READ, &node));
    size = 4;
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExA(node, "N", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size));
    EXPECT_EQ(one, v);
    // ...and the 32-bit view does not redirect a path that names WOW6432Node already.
    EXPECT_EQ(ERROR_SUCCESS, OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\WOW6432Node\\Varno\\X",
                                     KEY_WOW64_32KEY | KEY_READ, &node));
    EXPECT_FALSE(IsDir(Reg("HKLM/software/wow6432node/wow6432node")));

    // HKLM\SOFTWARE itself in the 32-bit view lists the redirected subkeys.
    HKEY sw32 = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE", KEY_WOW64_32KEY | KEY_READ, &sw32));
    char name[64];
    DWORD cch = sizeof(name);
    ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExA(sw32, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_STREQ("Varno", name);
    cch = sizeof(name);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExA(sw32, 1, name, &cch, nullptr, nullptr, nullptr, nullptr));

    // Deleting in one view leaves the other.
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Varno\\X", KEY_WOW64_64KEY, 0));
    EXPECT_FALSE(Exists(Reg("HKLM/software/varno/x")));
    EXPECT_TRUE(IsDir(Reg("HKLM/software/wow6432node/varno/x")));

    // The current user's SOFTWARE is the same in both views.
    Create(HKEY_CURRENT_USER, "Software\\Varno\\T", KEY_WOW64_32KEY | KEY_READ | KEY_WRITE);
    HKEY t64 = nullptr;
    EXPECT_EQ(ERROR_SUCCESS,
              OpenKey(HKEY_CURRENT_USER, "Software\\Varno\\T", KEY_WOW64_64KEY | KEY_READ, &t64));
    EXPECT_FALSE(Exists(Reg("HKCU/software/wow6432node")));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0,
                                                     KEY_READ | KEY_WOW64_32KEY | KEY_WOW64_64KEY, &t64));
}

TEST_F(Registry, EnumerationAndKeyInfo) {
    HKEY k = Create(HKEY_CURRENT_USER, "Software\\Enum");
    Create(HKEY_CURRENT_USER, "Software\\Enum\\Gamma");
    Create(HKEY_CURRENT_USER, "Software\\Enum\\alpha");
    Create(HKEY_CURRENT_USER, "Software\\Enum\\Beta");
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(k, "One", 0, REG_BINARY, reinterpret_cast<const BYTE*>("12345"), 5));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(k, "LongerName", 0, REG_SZ, reinterpret_cast<const BYTE*>("ab"), 3));

    const char* expected[] = {"alpha", "Beta", "Gamma"};
    char name[32];
    for (DWORD i = 0; i < 3; ++i) {
        DWORD cch = sizeof(name);
        FILETIME ft{0, 0};
        ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExA(k, i, name, &cch, nullptr, nullptr, nullptr, &ft));
        EXPECT_STREQ(expected[i], name);
        EXPECT_EQ(strlen(expected[i]), cch);
        EXPECT_NE(0u, ft.dwHighDateTime);
    }
    DWORD cch = sizeof(name);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyExA(k, 3, name, &cch, nullptr, nullptr, nullptr, nullptr));
    // A buffer one short of the terminator: ERROR_MORE_DATA, the length left as it was.
    cch = 5;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumKeyExA(k, 0, name, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(5u, cch);
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegEnumKeyExA(k, 0, nullptr, &cch, nullptr, nullptr, nullptr, nullptr));

    // Values in the order of their stored names: "LongerName", "One".
    DWORD type = 0, size = 0;
    cch = sizeof(name);
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(k, 0, name, &cch, nullptr, &type, nullptr, &size));
    EXPECT_STREQ("LongerName", name);
    EXPECT_EQ(10u, cch);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(3u, size);
    BYTE data[8];
    size = 2;
    cch = sizeof(name);
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(k, 1, name, &cch, nullptr, &type, data, &size));
    EXPECT_EQ(5u, size);
    size = sizeof(data);
    cch = 3;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(k, 1, name, &cch, nullptr, &type, data, &size));
    EXPECT_STREQ("On", name);
    EXPECT_EQ(3u, cch);
    cch = sizeof(name);
    size = sizeof(data);
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(k, 1, name, &cch, nullptr, &type, data, &size));
    EXPECT_STREQ("One", name);
    EXPECT_EQ(0, memcmp("12345", data, 5));
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, RegEnumValueA(k, 2, name, &cch, nullptr, &type, data, &size));

    DWORD subKeys = 0, maxSub = 0, values = 0, maxValueName = 0, maxValue = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr,
                                              &values, &maxValueName, &maxValue, nullptr, nullptr));
    EXPECT_EQ(3u, subKeys);
    EXPECT_EQ(5u, maxSub);
    EXPECT_EQ(2u, values);
    EXPECT_EQ(10u, maxValueName);
    EXPECT_EQ(5u, maxValue);
}

TEST_F(Registry, AccessRightsAndReadOnlyKeys) {
    Create(HKEY_CURRENT_USER, "Software\\Locked\\Inner");
    HKEY reader = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, OpenKey(HKEY_CURRENT_USER, "Software\\Locked", KEY_READ, &reader));
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegSetValueExA(reader, "V", 0, REG_SZ, reinterpret_cast<const BYTE*>("a"), 2));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteValueA(reader, "V"));
    HKEY writer = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, OpenKey(HKEY_CURRENT_USER, "Software\\Locked", KEY_SET_VALUE, &writer));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(writer, "V", 0, REG_SZ, reinterpret_cast<const BYTE*>("a"), 2));
    DWORD size = 0;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegQueryValueExA(writer, "V", nullptr, nullptr, nullptr, &size));

    // The stand-in of an ACL that grants reading only.
    WriteFile(Reg("HKCU/software/locked/.readonly"), "");
    HKEY k = nullptr;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Locked", 0, nullptr, 0,
                                                   KEY_READ | KEY_WRITE, nullptr, &k, nullptr));
    EXPECT_EQ(nullptr, k);
    ASSERT_EQ(ERROR_SUCCESS, OpenKey(HKEY_CURRENT_USER, "Software\\Locked", KEY_READ, &k));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "V", nullptr, nullptr, nullptr, &size));
    HKEY sub = nullptr;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Locked\\New", 0, nullptr, 0,
                                                   KEY_READ, nullptr, &sub, nullptr));
    // An existing subkey opens, and can be deleted (its own rights decide).
    EXPECT_EQ(ERROR_SUCCESS, OpenKey(HKEY_CURRENT_USER, "Software\\Locked\\Inner", KEY_ALL_ACCESS, &sub));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Locked\\Inner"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Locked"));
    // Handles opened before keep their rights, as on Windows.
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(writer, "V", 0, REG_SZ, reinterpret_cast<const BYTE*>("b"), 2));
}

TEST_F(Registry, BadArgumentsGiveErrorCodes) {
    HKEY k = Create(HKEY_CURRENT_USER, "Software\\Args");
    HKEY out = nullptr;
    int local = 0;
    HKEY bogus = reinterpret_cast<HKEY>(&local);
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExA(bogus, "x", 0, KEY_READ, &out));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegSetValueExA(nullptr, "x", 0, REG_SZ, nullptr, 0));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(bogus));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegOpenKeyExA(HKEY_USERS, "x", 0, KEY_READ, &out));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(ERROR_BAD_PATHNAME, RegCreateKeyExA(HKEY_CURRENT_USER, "\\Software", 0, nullptr, 0, KEY_READ,
                                                  nullptr, &out, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegCreateKeyExA(HKEY_CURRENT_USER, "Software", 0, nullptr, 0, KEY_READ,
                                                       nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegCreateKeyExA(HKEY_CURRENT_USER, nullptr, 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr));
    std::string tooLong(256, 'k');
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegCreateKeyExA(k, tooLong.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr));
    EXPECT_EQ(ERROR_NOACCESS, RegSetValueExA(k, "x", 0, REG_BINARY, nullptr, 4));
    DWORD reserved = 0, size = 0;
    BYTE b[4];
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExA(k, "x", &reserved, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExA(k, "x", nullptr, nullptr, b, nullptr));

    // A closed handle is unknown afterwards.
    HKEY closed = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Args", 0, KEY_READ, &closed));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(closed));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExA(closed, "x", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(closed));
}

TEST_F(Registry, AwkwardNamesStayInsideTheirKey) {
    HKEY k = Create(HKEY_CURRENT_USER, "Software\\Odd");
    const char* keyNames[] = {"..", ".", "a/b", "@x", "100%", "with space", "~tilde"};
    for (const char* n : keyNames) {
        HKEY sub = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(k, n, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr))
            << n;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExA(sub, "../../../escape", 0, REG_SZ, reinterpret_cast<const BYTE*>(n),
                                 static_cast<DWORD>(strlen(n) + 1)));
        RegCloseKey(sub);
    }
    std::string longName(300, 'v');
    longName += "/end";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k, longName.c_str(), 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>("\7\0\0\0"), 4));
    // Nothing escaped the key's directory.
    EXPECT_FALSE(Exists(Reg("HKCU/software/escape")));
    EXPECT_FALSE(Exists(Reg("HKCU/escape")));
    DWORD subKeys = 0, values = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                              &values, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(7u, subKeys);
    EXPECT_EQ(1u, values);
    std::vector<std::string> seen;
    char name[64];
    for (DWORD i = 0; i < subKeys; ++i) {
        DWORD cch = sizeof(name);
        ASSERT_EQ(ERROR_SUCCESS, RegEnumKeyExA(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr));
        seen.push_back(name);
    }
    for (const char* n : keyNames)
        EXPECT_NE(seen.end(), std::find(seen.begin(), seen.end(), n)) << n;
    char longBack[400];
    DWORD cch = sizeof(longBack);
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(k, 0, longBack, &cch, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(longName, longBack);
}

TEST_F(Registry, ValueFilesCanBeReadAndWrittenByHand) {
    HKEY k = Create(HKEY_CURRENT_USER, "Software\\Hand");
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(k, "Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>("x.dll"), 6));
    EXPECT_EQ(std::string("LUREG REG_SZ Image%20Path\nx.dll\0", 32),
              ReadWholeFile(Reg("HKCU/software/hand/@image%20path")));
    // A value written with printf and mv, as docs/registry.md shows.
    WriteFile(Reg("HKCU/software/hand/.tmp-hand"), std::string("LUREG REG_DWORD LOG_Enabled\n\0\0\0\0", 32));
    ASSERT_EQ(0, rename(Reg("HKCU/software/hand/.tmp-hand").c_str(),
                        Reg("HKCU/software/hand/@log_enabled").c_str()));
    DWORD v = 9, size = 4, type = 0;
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExA(k, "LOG_ENABLED", nullptr, &type, reinterpret_cast<BYTE*>(&v), &size));
    EXPECT_EQ(0u, v);
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    // Numeric types are accepted too; a file without the header is reported, not guessed at.
    WriteFile(Reg("HKCU/software/hand/@num"), std::string("LUREG 3 Num\n\1\2", 14));
    size = 4;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Num", nullptr, &type, reinterpret_cast<BYTE*>(&v), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    EXPECT_EQ(2u, size);
    WriteFile(Reg("HKCU/software/hand/@broken"), "just text");
    EXPECT_EQ(ERROR_REGISTRY_CORRUPT, RegQueryValueExA(k, "Broken", nullptr, nullptr, nullptr, &size));
    // A key made with mkdir is a key; stale temporary files are not values.
    ASSERT_EQ(0, mkdir(Reg("HKCU/software/hand/manual").c_str(), 0755));
    WriteFile(Reg("HKCU/software/hand/manual/.tmp-9-9-9"), "LUREG REG_SZ Ghost\nboo");
    HKEY manual = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, OpenKey(HKEY_CURRENT_USER, "Software\\Hand\\Manual", KEY_READ, &manual));
    DWORD values = 7;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(manual, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              &values, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, values);
}

// A value file planted by hand that is no regular file, or far larger than any value, is refused at
// once: a FIFO would otherwise block the reader until someone writes to it.
TEST_F(Registry, ValueFilesThatAreNoRegularFilesOrTooLargeAreRefused) {
    HKEY k = Create(HKEY_CURRENT_USER, "Software\\Planted");
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k, "Good", 0, REG_SZ, reinterpret_cast<const BYTE*>("ok"), 3));
    ASSERT_EQ(0, mkfifo(Reg("HKCU/software/planted/@fifo").c_str(), 0600));
    ASSERT_EQ(
        0, symlink(Reg("HKCU/software/planted/@good").c_str(), Reg("HKCU/software/planted/@link").c_str()));
    ASSERT_EQ(0, mkdir(Reg("HKCU/software/planted/@dir").c_str(), 0700));
    DWORD size = 0;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ERROR_REGISTRY_CORRUPT, RegQueryValueExA(k, "Fifo", nullptr, nullptr, nullptr, &size));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(ERROR_REGISTRY_CORRUPT, RegQueryValueExA(k, "Link", nullptr, nullptr, nullptr, &size));
    EXPECT_NE(ERROR_SUCCESS, RegQueryValueExA(k, "Dir", nullptr, nullptr, nullptr, &size));
    // Enumeration lists only the value that is a file.
    DWORD values = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              &values, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(1u, values);
    char name[32];
    DWORD lenName = sizeof(name);
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(k, 0, name, &lenName, nullptr, nullptr, nullptr, nullptr));
    EXPECT_STREQ("Good", name);

    // Beyond the limit the file is not read at all; up to it, it is a value like any other.
    std::vector<BYTE> big(4u * 1024 * 1024 + 1, 0x5A);
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegSetValueExA(k, "Big", 0, REG_BINARY, big.data(), static_cast<DWORD>(big.size())));
    big.pop_back();
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(k, "Big", 0, REG_BINARY, big.data(), static_cast<DWORD>(big.size())));
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Big", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(big.size(), size);
    ASSERT_EQ(0, truncate(Reg("HKCU/software/planted/@big").c_str(), 64ll * 1024 * 1024));
    EXPECT_EQ(ERROR_FILE_TOO_LARGE, RegQueryValueExA(k, "Big", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Good", nullptr, nullptr, nullptr, &size));
}

TEST_F(Registry, RootFollowsLucspRoot) {
    Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Where", KEY_WOW64_64KEY | KEY_WRITE);
    EXPECT_TRUE(IsDir(Root.Path() + "/registry/HKLM/software/where"));
    {
        TTestRoot other;
        HKEY k = nullptr;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND,
                  RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Where", 0, KEY_WOW64_64KEY | KEY_READ, &k));
    }
}

// ---- Several processes at once -------------------------------------------------------------------------

namespace {

const char* const kWorkerEnv = "LUCSP_REGISTRY_WORKER";
const char* const kSharedKey = "Software\\Varno\\Shared";

// A value that proves its own integrity: every byte follows from writer, sequence and length.
std::vector<BYTE> Payload(uint32_t writer, uint32_t seq, uint32_t length) {
    std::vector<BYTE> p(length);
    uint32_t head[3] = {writer, seq, length};
    for (uint32_t i = 0; i < length; ++i)
        p[i] = i < sizeof(head) ? reinterpret_cast<BYTE*>(head)[i]
                                : static_cast<BYTE>(seq * 31u + i * 7u + writer);
    return p;
}

bool PayloadIsWhole(const BYTE* data, DWORD size) {
    if (size < 12) return false;
    uint32_t head[3];
    memcpy(head, data, sizeof(head));
    if (head[2] != size) return false;
    std::vector<BYTE> want = Payload(head[0], head[1], head[2]);
    return memcmp(want.data(), data, size) == 0;
}

// "w<writer>-" and then one letter repeated; a mix of two writes breaks the pattern or the length.
std::string TextFor(uint32_t writer, uint32_t seq) {
    return "w" + std::to_string(writer) + "-" + std::string(seq % 300, static_cast<char>('a' + seq % 26));
}

bool TextIsWhole(const char* t, DWORD size) {
    size_t len = strnlen(t, size);
    const char* dash = static_cast<const char*>(memchr(t, '-', len));
    if (len + 1 != size || t[0] != 'w' || !dash) return false;
    for (const char* p = dash + 1; *p; ++p)
        if (*p != dash[1]) return false;
    return true;
}

// Writes and reads the shared values for a while; returns the number of faults seen.
int HammerSharedValues(uint32_t writer, int millis) {
    HKEY k = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kSharedKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) !=
        ERROR_SUCCESS)
        return 1000;
    int faults = 0;
    std::vector<BYTE> buf(70000);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
    for (uint32_t seq = 1; std::chrono::steady_clock::now() < until; ++seq) {
        uint32_t length = 12 + (seq * 7919u + writer * 104729u) % 65000u;
        std::vector<BYTE> p = Payload(writer, seq, length);
        if (RegSetValueExA(k, "Blob", 0, REG_BINARY, p.data(), length) != ERROR_SUCCESS) ++faults;
        std::string text = TextFor(writer, seq);
        if (RegSetValueExA(k, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1)) != ERROR_SUCCESS)
            ++faults;

        DWORD size = static_cast<DWORD>(buf.size()), type = 0;
        if (RegQueryValueExA(k, "Blob", nullptr, &type, buf.data(), &size) != ERROR_SUCCESS ||
            type != REG_BINARY || !PayloadIsWhole(buf.data(), size))
            ++faults;
        // Size first, then the data: the value may have grown in between, which is no fault.
        DWORD need = 0;
        if (RegQueryValueExA(k, "Text", nullptr, &type, nullptr, &need) != ERROR_SUCCESS) ++faults;
        size = need;
        LONG rc = RegQueryValueExA(k, "Text", nullptr, &type, buf.data(), &size);
        if (rc == ERROR_SUCCESS) {
            if (type != REG_SZ || !TextIsWhole(reinterpret_cast<const char*>(buf.data()), size)) ++faults;
        } else if (rc != ERROR_MORE_DATA) {
            ++faults;
        }
        // Keys come and go below the shared key while values are written into them.
        std::string churn = std::string(kSharedKey) + "\\Churn";
        HKEY c = nullptr;
        rc = RegCreateKeyExA(HKEY_CURRENT_USER, churn.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &c,
                             nullptr);
        if (rc == ERROR_SUCCESS) {
            LONG w = RegSetValueExA(c, "V", 0, REG_BINARY, p.data(), 12);
            if (w != ERROR_SUCCESS && w != ERROR_KEY_DELETED) ++faults;
            RegCloseKey(c);
        } else if (rc != ERROR_FILE_NOT_FOUND) {
            ++faults;
        }
        rc = RegDeleteKeyA(HKEY_CURRENT_USER, churn.c_str());
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) ++faults;
    }
    RegCloseKey(k);
    return faults;
}

// Writes big values as fast as it can, until it is killed.
void WriteUntilKilled() {
    HKEY k = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kSharedKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) !=
        ERROR_SUCCESS)
        _exit(3);
    // Made in advance, so that the process spends its time inside the writes.
    std::vector<std::vector<BYTE>> payloads;
    for (uint32_t seq = 1; seq <= 4; ++seq)
        payloads.push_back(Payload(7, seq, 1000000 + seq * 1000));
    for (uint32_t seq = 0;; ++seq) {
        const std::vector<BYTE>& p = payloads[seq % payloads.size()];
        RegSetValueExA(k, "Big", 0, REG_BINARY, p.data(), static_cast<DWORD>(p.size()));
    }
}

pid_t SpawnWorker(const std::string& role) {
    return SpawnTestWorker("RegistryProcessWorker.Run", kWorkerEnv, role);
}

int WaitExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

} // namespace

// The body of the worker processes; skipped when the test binary runs normally.
TEST(RegistryProcessWorker, Run) {
    const char* role = getenv(kWorkerEnv);
    if (!role) GTEST_SKIP() << "runs only inside the multi-process tests";
    if (strcmp(role, "killme") == 0) WriteUntilKilled();
    int faults = HammerSharedValues(static_cast<uint32_t>(atoi(role)), 2500);
    if (faults) fprintf(stderr, "worker %s: %d faults\n", role, faults);
    _exit(faults ? 1 : 0);
}

TEST(RegistryProcesses, TwoProcessesNeverSeeATornValue) {
    TTestRoot root;
    pid_t a = SpawnWorker("1");
    pid_t b = SpawnWorker("2");
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    // This process reads along while the two write.
    HKEY k = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_CURRENT_USER, kSharedKey, 0, nullptr, 0, KEY_READ, nullptr, &k, nullptr));
    std::vector<BYTE> buf(70000);
    int reads = 0, torn = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2000);
    while (std::chrono::steady_clock::now() < until) {
        DWORD size = static_cast<DWORD>(buf.size());
        LONG rc = RegQueryValueExA(k, "Blob", nullptr, nullptr, buf.data(), &size);
        if (rc == ERROR_FILE_NOT_FOUND) continue;
        ++reads;
        if (rc != ERROR_SUCCESS || !PayloadIsWhole(buf.data(), size)) ++torn;
    }
    RegCloseKey(k);
    EXPECT_EQ(0, WaitExit(a));
    EXPECT_EQ(0, WaitExit(b));
    EXPECT_GT(reads, 10);
    EXPECT_EQ(0, torn);
}

TEST(RegistryProcesses, AKilledWriterLeavesTheOldValueOrTheNew) {
    TTestRoot root;
    for (int round = 0; round < 4; ++round) {
        pid_t w = SpawnWorker("killme");
        ASSERT_GT(w, 0);
        // Kill it in the middle of its writing, once it has begun.
        bool writing = false;
        for (int i = 0; i < 2000 && !writing; ++i) {
            HKEY probe = nullptr;
            DWORD size = 0;
            if (RegOpenKeyExA(HKEY_CURRENT_USER, kSharedKey, 0, KEY_READ, &probe) == ERROR_SUCCESS) {
                writing = RegQueryValueExA(probe, "Big", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS;
                RegCloseKey(probe);
            }
            if (!writing) usleep(5000);
        }
        usleep(static_cast<useconds_t>(20000 + round * 17000));
        kill(w, SIGKILL);
        WaitExit(w);
        ASSERT_TRUE(writing);
        HKEY k = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, kSharedKey, 0, KEY_READ, &k));
        DWORD size = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Big", nullptr, nullptr, nullptr, &size));
        std::vector<BYTE> data(size);
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(k, "Big", nullptr, nullptr, data.data(), &size));
        EXPECT_TRUE(PayloadIsWhole(data.data(), size)) << "round " << round;
        // A temporary file the writer may have left is no value.
        DWORD values = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                  &values, nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(1u, values);
        RegCloseKey(k);
    }
}

// A kept key reads the values as they are now, and one deleted (and perhaps made again) since it was
// opened is opened again by its path.
TEST_F(Registry, KeptKeyFollowsTheKeyAtItsPath) {
    const std::string path = "Software\\Kept\\Entry";
    auto readValue = [&](std::string* text, bool* opened) {
        return platKeptKeyRead(HKEY_CURRENT_USER, path, 0, opened, [&](HKEY key) {
            char data[32] = {0};
            DWORD len = sizeof(data) - 1;
            LONG rc = RegQueryValueExA(key, "V", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &len);
            *text = data;
            return rc;
        });
    };
    std::string text;
    bool opened = true;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, readValue(&text, &opened));
    EXPECT_FALSE(opened);
    auto write = [&](const char* value) {
        HKEY k = Create(HKEY_CURRENT_USER, path.c_str());
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(k, "V", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                                static_cast<DWORD>(strlen(value) + 1)));
    };
    write("um");
    EXPECT_EQ(ERROR_SUCCESS, readValue(&text, &opened));
    EXPECT_TRUE(opened);
    EXPECT_EQ("um", text);
    TPlatKeptKeyRef held = platKeptKey(HKEY_CURRENT_USER, path, 0, false);
    ASSERT_TRUE(held);
    write("dois");
    EXPECT_EQ(ERROR_SUCCESS, readValue(&text, &opened));
    EXPECT_EQ("dois", text);
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, 0));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, readValue(&text, &opened));
    EXPECT_FALSE(opened);
    write("tres");
    EXPECT_EQ(ERROR_SUCCESS, readValue(&text, &opened));
    EXPECT_EQ("tres", text);
    EXPECT_TRUE(held->Key != nullptr); // a reader's key stays open until it lets it go
}
