// The platform layer: socket sets, select, and failures as Windows Sockets codes.
#include <chrono>
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
    ASSERT_EQ(netSend(b, "x", 1), 1);
    SocketSet readSet{2, {a, c}}, writeSet{1, {c}}, exceptSet{2, {a, c}};
    EXPECT_EQ(netSelect(0, &readSet, &writeSet, &exceptSet, -1, nullptr), 2);
    EXPECT_EQ(readSet.count, 1u);
    EXPECT_EQ(readSet.slots[0], a);
    EXPECT_EQ(writeSet.count, 1u);
    EXPECT_EQ(exceptSet.count, 0u);

    netClose(d);  // a closed peer reads as readable; the receive tells
    readSet = SocketSet{1, {c}};
    EXPECT_EQ(netSelect(0, &readSet, nullptr, nullptr, -1, nullptr), 1);
    char buf[4];
    EXPECT_EQ(netRecv(c, buf, sizeof buf), 0);
    for (Socket s : {a, b, c}) netClose(s);
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
    // The wake-up was used up: the next wait runs its course. (Only a wait
    // that ends far too early fails here; a slow machine cannot.)
    readSet = SocketSet{1, {a}};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(netSelect(0, &readSet, nullptr, nullptr, 200, &waker), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    for (Socket s : {a, b, waker.readEnd, waker.writeEnd}) netClose(s);
}

TEST(NetSelect, AFullSetAndTheWakerFitInOneWait) {
    std::vector<Socket> all;
    for (std::uint32_t i = 0; i < kSocketSetSize / 2; ++i) {
        auto [a, b] = tcpPair();
        all.push_back(a);
        all.push_back(b);
    }
    SocketSet readSet;
    socketSetClear(readSet);
    for (Socket s : all) socketSetAdd(readSet, s);
    ASSERT_EQ(readSet.count, kSocketSetSize);
    ASSERT_EQ(netSend(all[kSocketSetSize - 1], "x", 1), 1);  // the last member's peer sends
    NetWaker waker;
    ASSERT_TRUE(netWakerOpen(waker));
    EXPECT_EQ(netSelect(0, &readSet, nullptr, nullptr, -1, &waker), 1);
    ASSERT_EQ(readSet.count, 1u);
    EXPECT_EQ(readSet.slots[0], all[kSocketSetSize - 2]);

    // Without a time-out only the wake-up can end this wait.
    char b;
    ASSERT_EQ(netRecv(all[kSocketSetSize - 2], &b, 1), 1);
    for (Socket s : all) socketSetAdd(readSet, s);
    netWake(waker);
    EXPECT_EQ(netSelect(0, &readSet, nullptr, nullptr, -1, &waker), 0);
    EXPECT_EQ(readSet.count, 0u);
    for (Socket s : all) netClose(s);
    netClose(waker.readEnd);
    netClose(waker.writeEnd);
}

TEST(NetErrors, ConnectionRefused) {
    Socket bound = netTcpSocket();  // bound, not listening: refuses
    ASSERT_EQ(netBindAny(bound, 0), 0);
    auto port = static_cast<std::uint16_t>(netLocalPort(bound));
    Socket s = netTcpSocket();
    EXPECT_EQ(netConnect(s, Ipv4Address{{127, 0, 0, 1}}, port, 5000), -1);
    EXPECT_EQ(netLastError(), kErrConnRefused);
    EXPECT_EQ(netPendingError(s), kErrConnRefused);
    netClose(s);
    netClose(bound);
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
    ASSERT_EQ(netSend(b, "hi", 2), 2);
    ASSERT_TRUE(readable(a));
    EXPECT_EQ(netRecv(a, buf, sizeof buf), 2);
    EXPECT_EQ(netPendingError(a), 0);  // a success leaves no stale failure behind
    netClose(a);
    netClose(b);
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
    netClose(a);
}
