// The receive side (readData), the dispatcher and the login.
#include <bit>
#include <cmath>

#include "server/protocol/parser.h"
#include "unit_support.h"

using namespace test;

namespace {

Bytes hello(const std::string& name, const std::string& password = "", float version = kProtocolVersion) {
    Bytes f = blankFrame(kHello);
    std::uint32_t bits = std::bit_cast<std::uint32_t>(version);
    for (int k = 0; k < 4; ++k) f[1 + kHelloVersion + k] = static_cast<std::uint8_t>(bits >> (8 * k));
    std::memcpy(&f[1 + kHelloName], name.data(), std::min<std::size_t>(name.size(), 64));
    std::memcpy(&f[1 + kHelloPassword], password.data(), password.size());
    return f;
}

std::string nameAt(const Bytes& f, std::size_t at) { return textField(&f[at], 64); }

void expectHelloReply(const Bytes& f, int id, int status, const std::string& name) {
    ASSERT_EQ(f.size(), 72u);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 6), (Bytes{0, kHelloReply, 0x66, 0x66, 0x66, 0x3F}));
    EXPECT_EQ(nameAt(f, 6), name);
    EXPECT_EQ((std::vector<int>{f[70], f[71]}), (std::vector<int>{id, status}));
}

void expectPlayerInfo(const Bytes& f, const std::string& name, std::vector<int> idGatedSongHost, int value) {
    ASSERT_EQ(f.size(), 74u);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 2), (Bytes{0, kPlayerInfo}));
    EXPECT_EQ(nameAt(f, 2), name);
    EXPECT_EQ((std::vector<int>{f[66], f[67], f[68], f[69]}), idGatedSongHost);
    EXPECT_EQ(readInt32(&f[70]), value);
}

const std::string kGateLine =
    "unauthenticated client tried sending something different than the version packet, packet id: ";

}  // namespace

class Parser : public ServerFixture {
protected:
    void SetUp() override {
        ServerFixture::SetUp();
        socketSetClear(server->exceptSet);
    }
    bool parse(std::size_t index, const Bytes& bytes) {
        receive(client(index), bytes);
        return parsePackets(*server, client(index));
    }
    bool markedForClose(std::size_t index) { return socketSetHas(server->exceptSet, client(index).sock); }
};

TEST_F(Parser, IncompleteFramesWaitForTheirLastByte) {
    std::size_t i = addClient();
    Bytes f = hello("alice");
    EXPECT_TRUE(parse(i, Bytes(f.begin(), f.begin() + 1)));
    EXPECT_TRUE(parse(i, Bytes(f.begin() + 1, f.begin() + 2)));
    EXPECT_TRUE(parse(i, Bytes(f.begin() + 2, f.end() - 1)));
    EXPECT_EQ(client(i).recvLen, 133);
    EXPECT_TRUE(output.out().empty());
    EXPECT_TRUE(parse(i, Bytes(f.end() - 1, f.end())));
    EXPECT_EQ(client(i).recvLen, 0);
    EXPECT_EQ(client(i).authenticated, 1);
}

TEST_F(Parser, HandlesEveryWholeFrameOfOneReceiveInOrder) {
    std::size_t a = addClient("a", true), b = addClient("b", true);
    Bytes frames = joined({frameOf({kSetSongFlag, 1}), frameOf({kSetPlayerValue, 0x2C, 1, 0, 0}), frameOf({kRelay4, 9}, 0x55)});
    Bytes chat = blankFrame(kChatText);
    EXPECT_TRUE(parse(a, joined({frames, Bytes(chat.begin(), chat.begin() + 10)})));
    EXPECT_EQ(client(a).songFlag, 1);
    EXPECT_EQ(client(a).playerValue, 300);
    EXPECT_EQ(queued(client(b)), frames);
    EXPECT_EQ(Bytes(client(a).recvBuf, client(a).recvBuf + client(a).recvLen), Bytes(chat.begin(), chat.begin() + 10));
}

TEST_F(Parser, ClientThatHasNotLoggedInMaySendOnlyHello) {
    std::size_t a = addClient("a", true), u = addClient(), v = addClient();
    Bytes chat = blankFrame(kChatText);
    EXPECT_TRUE(parse(u, Bytes(chat.begin(), chat.end() - 1)));
    EXPECT_TRUE(output.out().empty());
    EXPECT_FALSE(parse(u, Bytes(chat.end() - 1, chat.end())));
    EXPECT_TRUE(markedForClose(u));
    EXPECT_TRUE(queued(client(a)).empty());  // nothing relayed
    // An id without a length closes at once; the id shows as a signed byte.
    EXPECT_FALSE(parse(v, Bytes{0, 200}));
    EXPECT_TRUE(markedForClose(v));
    EXPECT_EQ(output.out(), (Lines{kGateLine + "3", kGateLine + "-56"}));
}

TEST_F(Parser, ServerOnlyAndUnknownIdsCloseALoggedInClient) {
    for (int id : {10, 11, 12, 14, 22, 255}) {
        SCOPED_TRACE(id);
        output.clear();
        std::size_t i = addClient("a", true);
        Bytes bad = id < kPacketIdCount ? blankFrame(static_cast<std::uint8_t>(id)) : Bytes{0, std::uint8_t(id)};
        Bytes bytes = joined({frameOf({kSetSongFlag, 1}), bad});
        if (bad.size() > 2) {  // a known length is waited for
            EXPECT_TRUE(parse(i, Bytes(bytes.begin(), bytes.end() - 1)));
            bytes.erase(bytes.begin(), bytes.end() - 1);
        }
        EXPECT_FALSE(parse(i, bytes));
        EXPECT_TRUE(markedForClose(i));
        EXPECT_EQ(client(i).songFlag, 1);  // what came before stays done
        EXPECT_EQ(output.err(), Lines{"Error while parsing data"});
        EXPECT_TRUE(output.out().empty());
    }
}

TEST_F(Parser, FirstLoginBecomesHostAndForgetsTheOldLobby) {
    server->songId = 7;
    server->songArg3 = 5;
    server->lobbyValue = 9;
    server->songRunning = 1;
    std::size_t i = addClient();
    EXPECT_TRUE(parse(i, hello("alice")));
    std::vector<Bytes> frames = framesSent(i);
    ASSERT_EQ(frames.size(), 3u);
    expectHelloReply(frames[0], 1, 0, "alice");
    EXPECT_EQ(frames[1], frameOf({kHostAssigned, 1}));
    EXPECT_EQ(frames[2], frameOf({kLobbyValue, 0, 0, 0, 0}));
    EXPECT_EQ(output.out(), Lines{"Player \"alice\" connected."});
    EXPECT_EQ((std::vector<int>{client(i).isHost, server->hostId, server->songId, server->songArg3, server->lobbyValue,
                                server->songRunning}),
              (std::vector<int>{1, 1, 0, -1, 0, 0}));
}

TEST_F(Parser, NewcomerLearnsTheLobbyAndTheOthersLearnOfIt) {
    std::size_t a = addClient("alice", true), u = addClient(), n = addClient();
    ClientConnection& host = client(a);
    host.isHost = host.gatedFlag = host.songFlag = 1;
    host.playerValue = 7;
    server->hostId = 1;
    server->songId = 9;
    std::strcpy(server->songName, "tune");
    server->songArg1 = 11;
    server->songArg2 = 22;
    server->songArg3 = 33;
    server->lobbyValue = 258;
    server->songRunning = 1;
    std::int64_t before = calendarSeconds();
    server->songStartTime = before - 100;
    EXPECT_TRUE(parse(n, hello("bob")));
    std::int64_t after = calendarSeconds();

    std::vector<Bytes> frames = framesSent(n);
    ASSERT_EQ(frames.size(), 6u);
    expectHelloReply(frames[0], 3, 0, "bob");
    const Bytes& song = frames[1];
    ASSERT_EQ(song.size(), 82u);
    EXPECT_EQ(song[1], kSongSelected);
    EXPECT_EQ(nameAt(song, 6), "tune");
    EXPECT_EQ((std::vector<int>{readInt32(&song[2]), readInt32(&song[70]), readInt32(&song[74]), readInt32(&song[78])}),
              (std::vector<int>{9, 11, 22, 0}));
    expectPlayerInfo(frames[2], "alice", {1, 1, 1, 1}, 7);
    expectPlayerInfo(frames[3], "", {2, 0, 0, 0}, -1);  // not logged in, told all the same
    EXPECT_EQ(frames[4], frameOf({kLobbyValue, 2, 1, 0, 0}));
    ASSERT_EQ(frames[5].size(), 502u);
    std::string notice = textField(&frames[5][2], kChatTextSize), lead = "The current song was started ",
                tail = " seconds ago, you will have to wait until it finishes before you can start playing.";
    ASSERT_GT(notice.size(), lead.size() + tail.size());
    EXPECT_EQ(notice.substr(0, lead.size()) + notice.substr(notice.size() - tail.size()), lead + tail);
    long long seconds = std::stoll(notice.substr(lead.size()));
    EXPECT_TRUE(seconds >= 100 && seconds <= 100 + after - before) << seconds;

    for (std::size_t other : {a, u}) {
        std::vector<Bytes> toOther = framesSent(other);
        ASSERT_EQ(toOther.size(), 1u);
        expectPlayerInfo(toOther[0], "bob", {3, 0, 0, 0}, 33);
    }
    EXPECT_EQ(output.out(), Lines{"Player \"bob\" connected."});
    EXPECT_EQ(server->hostId, 1);
}

TEST_F(Parser, RefusedLoginsAnswerWithTheirStatusAndClose) {
    struct Case {
        Bytes hello;
        int maxPlayers, status;
        Lines lines;
    } const cases[] = {
        {hello("a", "", 1.0f), 4, 1, {"Client version differs from Server"}},
        {hello("a", "", std::nanf("")), 4, 1, {"Client version differs from Server"}},
        {hello("a", "secret"), 4, 2, {"Wrong password"}},
        {hello("a"), 1, 3, {"Server is full"}},
        {hello("a", "x", 1.0f), 1, 3, {"Client version differs from Server", "Wrong password", "Server is full"}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.status);
        reset();
        std::size_t other = addClient("other", true), i = addClient();
        server->maxPlayers = static_cast<std::uint8_t>(k.maxPlayers);
        EXPECT_FALSE(parse(i, k.hello));
        EXPECT_TRUE(markedForClose(i));
        EXPECT_EQ(client(i).authenticated, 0);
        EXPECT_EQ(output.out(), k.lines);
        std::vector<Bytes> frames = framesSent(i);
        ASSERT_EQ(frames.size(), 1u);
        expectHelloReply(frames[0], 2, k.status, "a");
        EXPECT_TRUE(framesSent(other).empty());
    }
    // The limit counts every record, the newcomer included.
    reset();
    server->maxPlayers = 2;
    addClient("a", true);
    EXPECT_TRUE(parse(addClient(), hello("b")));
}

TEST_F(Parser, ReadDataHandsWholeFramesOnAndKeepsTheRest) {
    std::size_t i = addClient("a", true);
    EXPECT_TRUE(readData(*server, client(i)));  // nothing there: would block
    EXPECT_EQ(client(i).recvLen, 0);

    Bytes chat = blankFrame(kChatText);
    Bytes bytes = joined({frameOf({kStreamOptIn, 1}), Bytes(chat.begin(), chat.begin() + 100)});
    ASSERT_EQ(netSend(peer(i), bytes.data(), bytes.size()), 103);
    ASSERT_TRUE(readable(client(i).sock));
    EXPECT_TRUE(readData(*server, client(i)));
    EXPECT_EQ(client(i).streamOptIn, 1);
    EXPECT_EQ(client(i).recvLen, 100);
    EXPECT_EQ(client(i).recvBuf[1], kChatText);

    netShutdownSend(peer(i));
    ASSERT_TRUE(readable(client(i).sock));
    EXPECT_FALSE(readData(*server, client(i)));
    EXPECT_EQ(output.out(),
              Lines{"Socket " + std::to_string(client(i).sock) + " was closed by the client. Shutting down."});
}

TEST_F(Parser, ReadDataOnAResetConnectionEndsItAndKeepsTheErrorForTheLoop) {
    std::size_t i = addClient("a", true);
    resetBy(peer(i), client(i).sock);
    peers[i] = netTcpSocket();  // for TearDown
    EXPECT_FALSE(readData(*server, client(i)));
    // Under Wine a reset that select has seen reads as the peer's orderly end.
    Lines closedLine{"Socket " + std::to_string(client(i).sock) + " was closed by the client. Shutting down."};
    if (client(i).failCode == 0) EXPECT_EQ(output.out(), closedLine);
    else EXPECT_EQ(client(i).failCode, kErrConnReset);
}
