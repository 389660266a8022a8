#include "os/platOS.h"
#include "platform/platSecret.h"
#include "support/testRoot.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

// Each scope's blob opens again; text of earlier versions passes as it is; a changed blob, or a user
// key others can read, opens nothing.
TEST(Secret, ProtectedAndPlainValues) {
    TTestRoot root;
    const std::string secret = "token-0123456789-abcdef";
    for (bool machine : {false, true}) {
        std::string blob, plain;
        ASSERT_TRUE(platProtectSecret(secret, machine, blob));
        EXPECT_TRUE(osIsProtectedData(blob.data(), blob.size()));
        EXPECT_EQ(std::string::npos, blob.find(secret));
        ASSERT_TRUE(platRevealSecret(blob, plain));
        EXPECT_EQ(secret, plain);
        for (size_t at : {size_t(2), size_t(24), blob.size() / 2, blob.size() - 1}) {
            std::string bad = blob;
            bad[at] ^= 0x40;
            EXPECT_FALSE(platRevealSecret(bad, plain) && plain == secret) << at;
        }
        EXPECT_FALSE(platRevealSecret(blob.substr(0, 30), plain));
    }
    std::string plain;
    ASSERT_TRUE(platRevealSecret(secret, plain));
    EXPECT_EQ(secret, plain);

    std::string text;
    ASSERT_TRUE(platProtectSecretText("user:s3cret", text));
    EXPECT_TRUE(platIsProtectedText(text.c_str()));
    ASSERT_TRUE(platRevealSecretText(text.c_str(), plain));
    EXPECT_EQ("user:s3cret", plain);
    ASSERT_TRUE(platRevealSecretText("http://proxy:3128", plain));
    EXPECT_EQ("http://proxy:3128", plain);
    EXPECT_FALSE(platRevealSecretText("dpapi:AAAA", plain));

    // The user's key is readable by that user only; loosened, it is refused.
    std::string key = root.Path() + "/protect/user-" + std::to_string(getuid()) + ".key";
    struct stat st;
    ASSERT_EQ(0, stat(key.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777u);
    std::string blob;
    ASSERT_TRUE(platProtectSecret(secret, false, blob));
    ASSERT_EQ(0, chmod(key.c_str(), 0644));
    EXPECT_FALSE(platRevealSecret(blob, plain));
    // The key a process keeps in memory follows the file: restored, it opens again; made anew, the new
    // one is used and the old blobs open no more.
    ASSERT_EQ(0, chmod(key.c_str(), 0600));
    ASSERT_TRUE(platRevealSecret(blob, plain));
    ASSERT_EQ(0, unlink(key.c_str()));
    std::string fresh;
    ASSERT_TRUE(platProtectSecret(secret, false, fresh));
    EXPECT_TRUE(platRevealSecret(fresh, plain));
    EXPECT_FALSE(platRevealSecret(blob, plain));
}
