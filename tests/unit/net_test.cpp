// The platform layer: socket sets, select, and failures as Windows Sockets codes.
#include <thread>

#include "unit_support.h"

using namespace test;

TEST(SocketSet, HoldsSixtyFourDistinctSocketsAndClosesGapsOnRemoval) {
    SocketSet set;
    socketSetClear(set);
    for (Socket s = 100; s < 164; ++s) socketSetAdd(set, s);
    socketSetAdd(set, 100);  // a member again
    socketSetAdd(set, 500);  // to a full set
    EXPECT_EQ(set.count, 64u);
    EXPECT_FALSE(socketSetHas(set, 500));
    socketSetRemove(set, 101);
    socketSetRemove(set, 999);
    ASSERT_EQ(set.count, 63u);
    EXPECT_EQ((std::vector<Socket>{set.slots[0], set.slots[1], set.slots[62]}), (std::vector<Socket>{100, 102, 163}));
    socketSetAdd(set, 500);
    EXPECT_EQ(set.slots[63], 500u);
}

TEST(NetSelect, KeepsOnlyTheReadyMembersOfEachSet) {
    auto [a, b] = tcpPair();
    auto [c, d] = tcpPair();
    ASSERT_EQ(::send(asFd(b), "x", 1, 0), 1);
    SocketSet readSet{2, {a, c}}, writeSet{1, {c}}, exceptSet{2, {a, c}};
    EXPECT_EQ(netSelect(0, &readSet, &writeSet, &exceptSet, -1, nullptr), 2);
    EXPECT_EQ(readSet.count, 1u);
    EXPECT_EQ(readSet.slots[0], a);
    EXPECT_EQ(writeSet.count, 1u);
    EXPECT_EQ(exceptSet.count, 0u);

    ::close(asFd(d));  // a closed peer reads as readable; the receive tells
    readSet = SocketSet{1, {c}};
    EXPECT_EQ(netSelect(0, &readSet, nullptr, nullptr, -1, nullptr), 1);
    char buf[4];
    EXPECT_EQ(netRecv(c, buf, sizeof buf), 0);
    for (Socket s : {a, b, c}) ::close(asFd(s));
}

TEST(NetSelect, EndsOnTimeOutOrWakeUpWithEmptySets) {
    auto [a, b] = tcpPair();
    SocketSet readSet{1, {a}};
    EXPECT_EQ(netSelect(0, &readSet, nullptr, nullptr, 20, nullptr), 0);
    EXPECT_EQ(readSet.count, 0u);

    NetWaker waker;
    ASSERT_TRUE(netWakerOpen(waker));
    std::thread other([&waker] { netWake(waker); });
    readSet = SocketSet{1, {a}};
    EXPECT_EQ(netSelect(0, &readSet, nullptr, nullptr, -1, &waker), 0);  // no time-out: only the wake-up ends it
    EXPECT_EQ(readSet.count, 0u);
    other.join();
    readSet = SocketSet{1, {a}};
    EXPECT_EQ(netSelect(0, &readSet, nullptr, nullptr, 20, &waker), 0);  // the wake-up was used up
    for (Socket s : {a, b, waker.readEnd, waker.writeEnd}) ::close(asFd(s));
}

TEST(NetErrors, ConnectionRefused) {
    int bound = ::socket(AF_INET, SOCK_STREAM, 0);  // bound, not listening: refuses
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(bound, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::getsockname(bound, reinterpret_cast<sockaddr*>(&addr), &len);
    Socket s = netTcpSocket();
    EXPECT_EQ(netConnect(s, Ipv4Address{{127, 0, 0, 1}}, ntohs(addr.sin_port), 5000), -1);
    EXPECT_EQ(netLastError(), kErrConnRefused);
    EXPECT_EQ(netPendingError(s), kErrConnRefused);
    netClose(s);
    ::close(bound);
}

TEST(NetErrors, ReceiveThatWouldBlockReadsBackOnceAsPendingError) {
    auto [a, b] = tcpPair();
    ASSERT_EQ(netSetNonBlocking(a, true), 0);
    char buf[8];
    EXPECT_EQ(netRecv(a, buf, sizeof buf), -1);
    EXPECT_EQ(netLastError(), kErrWouldBlock);
    EXPECT_EQ(netPendingError(b), 0);
    EXPECT_EQ(netPendingError(a), kErrWouldBlock);
    EXPECT_EQ(netPendingError(a), 0);

    EXPECT_EQ(netRecv(a, buf, sizeof buf), -1);
    ASSERT_EQ(::send(asFd(b), "hi", 2, 0), 2);
    ASSERT_TRUE(readable(a));
    EXPECT_EQ(netRecv(a, buf, sizeof buf), 2);
    EXPECT_EQ(netPendingError(a), 0);  // a success leaves no stale failure behind
    ::close(asFd(a));
    ::close(asFd(b));
}

TEST(NetErrors, SendToAResetPeerFailsWithoutSignal) {
    auto [a, b] = tcpPair();
    resetBy(b, a);
    // SIGPIPE would end this process.
    char data[100] = {};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(netSend(a, data, sizeof data), -1);
        EXPECT_EQ(netLastError(), kErrConnReset);
    }
    ::close(asFd(a));
}
