#include "os/platTypes.h"
#include "platform/platNSTATUS.h"
#include "platform/platRotPadroes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

TEST(NSTATUSTable, KnownRowsCarryTheSdkNames) {
    NSTATUSInfo ok = GetNSTATUSInfo(0);
    EXPECT_STREQ(ok.Name, "STATUS_SUCCESS"); // not STATUS_WAIT_0, which shares the code
    NSTATUSInfo collision = GetNSTATUSInfo(0xC0000035u);
    EXPECT_EQ(collision.Code, 0xC0000035u);
    EXPECT_STREQ(collision.Name, "STATUS_OBJECT_NAME_COLLISION");
    EXPECT_STREQ(collision.Description, "The object name already exists.");
    EXPECT_STREQ(GetNSTATUSInfo(0xC0000225u).Name, "STATUS_NOT_FOUND");
    EXPECT_STREQ(GetNSTATUSInfo(0xC0000002u).Name, "STATUS_NOT_IMPLEMENTED");
    EXPECT_STREQ(GetNSTATUSInfo(0xC0000022u).Name, "STATUS_ACCESS_DENIED");
}

TEST(NSTATUSTable, UnknownCodeGivesTheFallbackRowWithThatCode) {
    NSTATUSInfo a = GetNSTATUSInfo(0x12345678u);
    NSTATUSInfo b = GetNSTATUSInfo(0xC0FFEE00u);
    EXPECT_EQ(a.Code, 0x12345678u);
    EXPECT_EQ(b.Code, 0xC0FFEE00u); // a copy each: the first answer is not overwritten
    EXPECT_STREQ(a.Name, "NSTATUS INVALID");
    EXPECT_STREQ(a.Description, "PARAM CODE NSTATUS NOT DEFINID, CHECK THE FUNCTION GetNSTATUSInfo");
    EXPECT_FALSE(IsKnownNSTATUS(0x12345678u));
}

TEST(NSTATUSTable, AllFortySevenCryptoApiCodesAreThere) {
    std::set<std::string> names;
    for (uint32_t code = 0x80090001u; code <= 0x8009002Fu; ++code) {
        NSTATUSInfo row = GetNSTATUSInfo(code);
        ASSERT_EQ(row.Code, code);
        ASSERT_EQ(std::strncmp(row.Name, "NTE_", 4), 0) << std::hex << code;
        ASSERT_GT(std::strlen(row.Description), 5u);
        names.insert(row.Name);
    }
    EXPECT_EQ(names.size(), 47u);
    EXPECT_STREQ(GetNSTATUSInfo(static_cast<uint32_t>(NTE_BAD_UID)).Name, "NTE_BAD_UID");
    EXPECT_STREQ(GetNSTATUSInfo(static_cast<uint32_t>(NTE_BAD_KEYSET)).Name, "NTE_BAD_KEYSET");
    EXPECT_STREQ(GetNSTATUSInfo(0x8009002Fu).Name, "NTE_HMAC_NOT_SUPPORTED");
    EXPECT_STREQ(GetNSTATUSInfo(0x80090030u).Name, "NSTATUS INVALID");
}

TEST(NSTATUSTable, LastErrorTextNamesKnownCodes) {
    SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));
    std::string text = GetLastErrorText();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEYSET));
    EXPECT_NE(text.find("0x80090016"), std::string::npos) << text;
    EXPECT_NE(text.find("Keyset does not exist"), std::string::npos) << text;

    SetLastError(ERROR_UNWIND);
    text = GetLastErrorText();
    EXPECT_NE(text.find("Unwind exception code."), std::string::npos) << text;

    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_NE(std::string(GetLastErrorText()).find("Access is denied."), std::string::npos);

    SetLastError(0x7654321u); // nothing known: the code alone
    EXPECT_STREQ(GetLastErrorText(), "0x07654321");
}
