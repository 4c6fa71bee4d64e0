// Socket error lines: "<prefix>: <text> (<code>)".
#include "platform/network/error_text.h"
#include "unit_support.h"

using namespace test;

TEST(SocketErrorMessage, LooksCodesUpInTheWholeTable) {
    EXPECT_STREQ(socketErrorMessage(10048, "bind() failed"), "bind() failed: Address already in use (10048)");
    EXPECT_STREQ(socketErrorMessage(10004, "a"), "a: Interrupted system call (10004)");
    EXPECT_STREQ(socketErrorMessage(10071, "a"), "a: Too many levels of remote in path (10071)");
    EXPECT_STREQ(socketErrorMessage(10091, "a"), "a: Network system is unavailable (10091)");
    EXPECT_STREQ(socketErrorMessage(11004, "a"), "a: No host data of that type was found (11004)");
    for (int code : {-1, 10010, 10072, 11005})
        EXPECT_EQ(std::string(socketErrorMessage(code, "a")), "a: unknown error (" + std::to_string(code) + ")");
}

TEST(SocketErrorMessage, CodeZeroStandsForTheThreadsLastError) {
    netSetLastError(0);
    EXPECT_STREQ(socketErrorMessage(0, "select() failed"), "select() failed: No error (0)");
    auto [a, b] = tcpPair();
    ASSERT_EQ(netSetNonBlocking(a, true), 0);
    char buf[4];
    ASSERT_EQ(netRecv(a, buf, sizeof buf), -1);
    EXPECT_STREQ(socketErrorMessage(0, "Read error"), "Read error: Operation would block (10035)");
    netClose(a);
    netClose(b);
}

TEST(SocketErrorMessage, PrefixMayBeEmptyAndLinesAreCutAt255Characters) {
    EXPECT_STREQ(socketErrorMessage(10061, ""), ": Connection refused (10061)");
    std::string prefix(300, ' ');
    for (std::size_t i = 0; i < prefix.size(); ++i) prefix[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(std::string(socketErrorMessage(10054, prefix.c_str())), prefix.substr(0, 255));

    std::string tail = ": Connection refused (10061)", fits(255 - tail.size(), 'x');
    EXPECT_EQ(std::string(socketErrorMessage(10061, fits.c_str())), fits + tail);
    EXPECT_EQ(std::string(socketErrorMessage(10061, (fits + "y").c_str())), fits + "y" + tail.substr(0, tail.size() - 1));
}
