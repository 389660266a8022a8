#include "platform/platSecret.h"
#include "platform/platToken.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <string>

// One rule for every reader and writer of a token: what a header line can carry.
TEST(Token, UsableIsPrintableTextOfOneTo255Bytes) {
    const std::string longest(LU_TOKEN_SIZE - 1, 'a');
    struct {
        std::string Text;
        bool Usable;
    } cases[] = {
        {"token-1", true},
        {longest, true},
        {"", false},
        {longest + "a", false},
        {"tok\nen", false},
        {std::string("tok\0en", 6), false},
        {"tok\x7F"
         "en",
         false},
        {"tok\xC3\xA9n", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.Usable, platTokenIsUsable(c.Text.data(), c.Text.size())) << c.Text.size();
    EXPECT_FALSE(platTokenIsUsable(nullptr, 3));
}

// Written, it is found where the login reads it; deleted, it is gone; a blob of another user opens nothing.
TEST(Token, WrittenReadAndDeletedUnderTheSerial) {
    TTestRoot root;
    const char serial[] = "00AB12";
    EXPECT_FALSE(platTokenIsStored(serial));
    std::string blob;
    ASSERT_TRUE(platProtectSecret("token-1", false, blob));
    ASSERT_TRUE(platTokenWrite(serial, blob.data(), static_cast<DWORD>(blob.size())));
    EXPECT_TRUE(platTokenIsStored(serial));
    BYTE stored[2048];
    DWORD length = sizeof(stored);
    bool opened = false;
    ASSERT_EQ(ERROR_SUCCESS, platTokenReadStored(serial, stored, &length, &opened));
    EXPECT_TRUE(opened);
    EXPECT_EQ(blob, std::string(reinterpret_cast<char*>(stored), length));
    platTokenDelete(serial);
    EXPECT_FALSE(platTokenIsStored(serial));
    EXPECT_TRUE(platTokenKeyPath(nullptr).empty());
    EXPECT_TRUE(platTokenKeyPath(std::string(700, 'A').c_str()).empty());
}
