// The send side: queuePacket, the relays' room and drops, and flushSendBuffer.
#include "unit_support.h"

using namespace test;

namespace {

const Lines kDropped{"Send buffer to small, packet was dropped."};

std::uint8_t patternAt(std::uint32_t pos) { return static_cast<std::uint8_t>(pos % 251); }

void fillWithPattern(ClientConnection& c, std::uint32_t n) {
    for (c.sendLen = 0; c.sendLen < n; ++c.sendLen) c.sendBuf[c.sendLen] = patternAt(c.sendLen);
}

}  // namespace

class SendQueue : public ServerFixture {};

TEST_F(SendQueue, SendBufferFillsExactlyAndAFrameThatDoesNotFitIsDropped) {
    ClientConnection& c = client(addBlockedClient());
    std::uint8_t chat[kChatTextLength], lobby[5] = {kLobbyValue, 2, 1, 0, 0}, vote[1] = {kStartVote};
    buildChatText("hi", chat);
    for (const std::uint8_t* p : {chat, chat, lobby, lobby, lobby, vote}) queuePacket(*server, c, p);
    EXPECT_EQ(c.sendLen, 1024u);  // 2 x 502 + 3 x 6 + 2
    EXPECT_TRUE(output.err().empty());
    EXPECT_EQ(Bytes(c.sendBuf + 1004, c.sendBuf + 1010), frameOf({kLobbyValue, 2, 1, 0, 0}));
    EXPECT_EQ(Bytes(c.sendBuf + 1022, c.sendBuf + 1024), frameOf({kStartVote}));

    queuePacket(*server, c, vote);
    EXPECT_EQ(c.sendLen, 1024u);
    EXPECT_EQ(output.err(), kDropped);
    ASSERT_TRUE(server->sendLock.try_lock());  // the drop left the lock free
    server->sendLock.unlock();
}

TEST_F(SendQueue, QueuePacketWritesAFullBufferOutBeforeGivingUp) {
    std::size_t i = addClient("a", true);
    fillWithPattern(client(i), 1000);
    std::uint8_t chat[kChatTextLength];
    buildChatText("after", chat);
    queuePacket(*server, client(i), chat);
    EXPECT_TRUE(output.err().empty());
    EXPECT_EQ(client(i).sendLen, 0u);
    Bytes earlier = readExactly(peer(i), 1000);
    ASSERT_EQ(earlier.size(), 1000u);
    EXPECT_EQ(earlier[999], patternAt(999));
    Bytes frame = readFrame(peer(i));
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 2), (Bytes{0, kChatText}));
    EXPECT_EQ(textField(&frame[2], kChatTextSize), "after");
}

TEST_F(SendQueue, RelayPassesOverARecipientThatCannotTakeTheFrame) {
    std::size_t a = addClient("a", true), full = addBlockedClient(), c = addClient("c", true);
    client(full).sendLen = 1023;
    Bytes frame = frameOf({kStartCancel}, 3);
    receive(client(a), frame);
    relayToAll(*server, client(a));
    EXPECT_EQ(queued(client(a)), frame);
    EXPECT_EQ(queued(client(c)), frame);
    EXPECT_EQ(client(full).sendLen, 1023u);
    EXPECT_EQ(output.err(), kDropped);

    // Room is tested before the opt-in: a full recipient that did not opt in
    // is reported as well.
    output.clear();
    relayToOptedIn(*server, client(a));
    EXPECT_TRUE(output.err().empty());  // within a second of the first: counted
    EXPECT_EQ(client(full).dropsUnreported, 1u);
}

TEST_F(SendQueue, RelayWritesARecipientsFullBufferOutBeforeGivingUp) {
    std::size_t a = addClient("a", true), b = addClient("b", true);
    fillWithPattern(client(b), 1000);
    Bytes chat = blankFrame(kChatText, 9);
    receive(client(a), chat);
    relayToOthers(*server, client(a));
    EXPECT_TRUE(output.err().empty());
    EXPECT_EQ(queued(client(b)), chat);  // appended only; sent later
    EXPECT_EQ(readExactly(peer(b), 1000).size(), 1000u);
}

TEST_F(SendQueue, FlushKeepsTheUnsentTailInFront) {
    auto [mine, far] = tcpPair();
    netSetNonBlocking(mine, true);
    ClientConnection& c = client(append(mine, far, "a", true));
    EXPECT_TRUE(flushSendBuffer(*server, c));  // an empty buffer
    EXPECT_EQ(c.sendLen, 0u);

    // Top the buffer up from a running byte pattern and flush, until the
    // socket takes nothing more; what stays must be the newest unsent bytes.
    std::uint32_t made = 0;
    int partial = 0;
    for (int round = 0; round < 100000; ++round) {
        while (c.sendLen < 1024 - (round % 7) * 100u) c.sendBuf[c.sendLen++] = patternAt(made++);
        std::uint32_t before = c.sendLen;
        ASSERT_TRUE(flushSendBuffer(*server, c));
        for (std::uint32_t k = 0; k < c.sendLen; ++k) ASSERT_EQ(c.sendBuf[k], patternAt(made - c.sendLen + k));
        if (c.sendLen == before) break;
        partial += c.sendLen > 0;
    }
    std::uint32_t sent = made - c.sendLen;
    Bytes got = readExactly(far, sent);
    ASSERT_EQ(got.size(), sent);
    for (std::uint32_t k = 0; k < sent; ++k) ASSERT_EQ(got[k], patternAt(k)) << k;
    // Wine's sockets may take each buffer whole or not at all: then the
    // tail kept in front was not put to the test on this platform.
    if (partial == 0) GTEST_SKIP() << "the socket never took part of a buffer";
}

TEST_F(SendQueue, FlushOnAResetConnectionFailsAndKeepsTheErrorForTheLoop) {
    std::size_t i = addClient("a", true);
    resetBy(peer(i), client(i).sock);
    peers[i] = netTcpSocket();  // for TearDown
    client(i).sendLen = 3;
    EXPECT_FALSE(flushSendBuffer(*server, client(i)));
    EXPECT_EQ(client(i).sendLen, 3u);
    EXPECT_EQ(client(i).failCode, kErrConnReset);
}
