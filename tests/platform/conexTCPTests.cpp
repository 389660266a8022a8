#include "platform/shells/platConexTCP.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

TEST(PlatConexTCP, StartsWithoutSocketAndDisconnectsTwice) {
    TPlatConexTCP conex;
    EXPECT_FALSE(conex.Connected);
    EXPECT_EQ(conex.Socket, kOsInvalidSocket);
    EXPECT_TRUE(conex.Disconnect());
    EXPECT_TRUE(conex.Disconnect());
    EXPECT_EQ(conex.Socket, kOsInvalidSocket);
}

TEST(PlatConexTCP, DisconnectClosesARealSocket) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    {
        TPlatConexTCP conex;
        conex.Socket = fd;
        conex.Connected = true;
        EXPECT_TRUE(conex.Disconnect());
        EXPECT_FALSE(conex.Connected);
        EXPECT_EQ(conex.Socket, kOsInvalidSocket);
        errno = 0;
        EXPECT_EQ(fcntl(fd, F_GETFD), -1);
        EXPECT_EQ(errno, EBADF);
        // The second call has nothing left to close.
        EXPECT_TRUE(conex.Disconnect());
    }
}

TEST(PlatConexTCP, ClosingSomethingThatIsNoSocketStillSucceeds) {
    TPlatConexTCP conex;
    conex.Socket = 1000000; // far above any open descriptor
    conex.Connected = true;
    EXPECT_TRUE(conex.Disconnect());
    EXPECT_EQ(osSocketLastError(), kOsErrorNotSocket);
    EXPECT_FALSE(conex.Connected);
    EXPECT_EQ(conex.Socket, kOsInvalidSocket);
}

TEST(PlatConexTCP, DestructorClosesTheSocket) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    {
        TPlatConexTCP conex;
        conex.Socket = fd;
    }
    errno = 0;
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}
