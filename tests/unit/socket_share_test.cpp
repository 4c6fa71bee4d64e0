// Sockets and other processes: no program the server starts gets one by
// accident, and a socket given to another process (here, this one) is the
// same socket there, buffered bytes and all, until one side closes its own.
#include <cstring>

#include "keeper/keeper_protocol.h"
#include "platform/network/socket_share.h"
#include "platform/process/kept_server.h"
#include "unit_support.h"

using namespace test;

namespace {
Bytes bytesOf(const char* text) { return Bytes(text, text + std::strlen(text)); }
}  // namespace

TEST(SocketInheritance, NeitherTheListenerNorAConnectionGoesToAProgramStarted) {
    Socket listener = netTcpSocket();
    ASSERT_EQ(netBindAny(listener, 0), 0);
    ASSERT_EQ(netListen(listener), 0);
    Socket client = netTcpSocket();
    ASSERT_EQ(netConnect(client, Ipv4Address{{127, 0, 0, 1}}, static_cast<std::uint16_t>(netLocalPort(listener)), 5000),
              0);
    Socket accepted = netAccept(listener, nullptr);
    ASSERT_NE(accepted, kInvalidSocket);
    EXPECT_FALSE(inheritedByPrograms(listener));
    EXPECT_FALSE(inheritedByPrograms(accepted));
    for (Socket s : {listener, client, accepted}) netClose(s);
}

TEST(SocketShare, TheSocketAdoptedIsTheSameConnection) {
    if (!canKeepServers()) GTEST_SKIP() << "servers here keep their sockets in place";
    auto [mine, far] = tcpPair();
    ASSERT_EQ(netSend(far, "before", 6), 6);
    SharedSocket shared{};
    int error = 0;
    ASSERT_TRUE(shareSocket(mine, ownProcessId(), shared, &error)) << error;
    Socket adopted = adoptSharedSocket(shared, &error);
    ASSERT_NE(adopted, kInvalidSocket) << error;
    EXPECT_FALSE(inheritedByPrograms(adopted));
    // The giver closes its own: the connection goes on through the other.
    netClose(mine);
    EXPECT_EQ(readExactly(adopted, 6), bytesOf("before"));
    ASSERT_EQ(netSend(adopted, "after", 5), 5);
    EXPECT_EQ(readExactly(far, 5), bytesOf("after"));

    SharedSocket bogus{};
    std::memset(bogus.bytes, 0xA5, sizeof bogus.bytes);
    EXPECT_EQ(adoptSharedSocket(bogus, &error), kInvalidSocket);
    EXPECT_FALSE(shareSocket(adopted, 0, shared, &error));
    netClose(adopted);
    netClose(far);
}

// The keeper's messages: the sizes of a block are whole numbers within their
// bounds, and nothing else.
TEST(KeeperMessages, BlockSizesAreBoundedWholeNumbers) {
    std::size_t len = 0, count = 0;
    EXPECT_TRUE(blockSizes("4096 3", 4096, 3, &len, &count));
    EXPECT_EQ(len, 4096u);
    EXPECT_EQ(count, 3u);
    for (const char* bad : {"4097 3", "4096 4", "", "12", "12 ", " 12 3", "12  3", "12 3 ", "-1 3", "12 x", "1e3 1",
                            "99999999999999999999999 1"})
        EXPECT_FALSE(blockSizes(bad, 4096, 3, &len, &count)) << bad;
    std::string rest;
    EXPECT_EQ(messageWord("serveon the keeper is gone", &rest), "serveon");
    EXPECT_EQ(rest, "the keeper is gone");
    EXPECT_EQ(messageWord("switched", &rest), "switched");
    EXPECT_EQ(rest, "");
}
