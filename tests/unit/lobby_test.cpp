// The lobby and song flow, as logged-in clients drive it.
#include "server/protocol/parser.h"
#include "unit_support.h"

using namespace test;

namespace {

Bytes songFrame(std::int32_t songId, const std::string& name, std::int32_t arg1, std::int32_t arg2, std::int32_t arg3) {
    Bytes f = blankFrame(kSongSelected);
    writeInt32(&f[1 + kSongId], songId);
    std::memcpy(&f[1 + kSongName], name.data(), name.size());
    writeInt32(&f[1 + kSongArg1], arg1);
    writeInt32(&f[1 + kSongArg2], arg2);
    writeInt32(&f[1 + kSongArg3], arg3);
    return f;
}

Bytes scoreFrame(double score, std::int32_t numerator, std::int32_t denominator) {
    Bytes f = blankFrame(kScoreReport);
    std::memcpy(&f[1 + kScoreValue], &score, 8);  // little-endian host
    writeInt32(&f[1 + kScoreAccuracyNumerator], numerator);
    writeInt32(&f[1 + kScoreAccuracyDenominator], denominator);
    return f;
}

}  // namespace

class Lobby : public ServerFixture {
protected:
    // Logged-in clients alice (the host), bob and carol; her name and the
    // song name hold control characters, which the console shows as "?".
    void SetUp() override {
        ServerFixture::SetUp();
        for (const char* name : {"alice", "bob", "carol\x1b"}) addClient(name, true);
        client(0).isHost = 1;
        server->hostId = 1;
        std::strcpy(server->songName, "Tu\tne");
    }
    void send(std::size_t index, const Bytes& bytes) {
        receive(client(index), bytes);
        ASSERT_TRUE(parsePackets(*server, client(index)));
        ASSERT_EQ(client(index).recvLen, 0);
    }
    std::vector<Bytes> allQueued() {
        std::vector<Bytes> all;
        for (const auto& c : server->clients) all.push_back(queued(c));
        return all;
    }
};

TEST_F(Lobby, OnlyTheHostSelectsTheSong) {
    send(1, songFrame(5, "not yours", 1, 2, 3));
    EXPECT_EQ(server->songId, 0);
    EXPECT_EQ(client(1).songFlag, 0);
    EXPECT_EQ(allQueued(), std::vector<Bytes>(3));
    EXPECT_TRUE(output.out().empty());

    Bytes song = songFrame(42, "Some Tune", 7, 8, 99);
    send(0, song);
    EXPECT_EQ(output.out(), Lines{"song set to Some Tune"});
    EXPECT_STREQ(server->songName, "Some Tune");
    EXPECT_EQ((std::vector<int>{server->songId, server->songArg1, server->songArg2, server->songArg3, client(0).songFlag}),
              (std::vector<int>{42, 7, 8, 99, 1}));
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(client(i).playerValue, 99);
    EXPECT_EQ(allQueued(), (std::vector<Bytes>{{}, song, song}));

    std::string full(64, 's');  // fills the field: kept whole, no terminator needed
    full[10] = '\n';
    output.clear();
    send(0, songFrame(1, full, 0, 0, 0));
    EXPECT_EQ(std::string(server->songName), full);
    full[10] = '?';
    EXPECT_EQ(output.out(), Lines{"song set to " + full});
}

TEST_F(Lobby, FlagsAndValuesAreStoredAndRelayed) {
    // The gated flag needs a song flag of exactly 1; the frames behind an
    // ignored one are still handled.
    send(1, joined({frameOf({kSetGatedFlag, 1}), frameOf({kSetSongFlag, 2}), frameOf({kSetGatedFlag, 1}),
                    frameOf({kSetPlayerValue, 5, 0, 0, 0})}));
    EXPECT_EQ((std::vector<int>{client(1).gatedFlag, client(1).songFlag, client(1).playerValue}),
              (std::vector<int>{0, 2, 5}));
    Bytes relayed = joined({frameOf({kSetSongFlag, 2}), frameOf({kSetPlayerValue, 5, 0, 0, 0})});
    EXPECT_EQ(allQueued(), (std::vector<Bytes>{relayed, {}, relayed}));

    send(1, joined({frameOf({kSetSongFlag, 1}), frameOf({kSetGatedFlag, 6})}));
    EXPECT_EQ(client(1).gatedFlag, 6);
    EXPECT_EQ(queued(client(0)), joined({relayed, frameOf({kSetSongFlag, 1}), frameOf({kSetGatedFlag, 6})}));
}

TEST_F(Lobby, LobbyValueComesOnlyFromTheHost) {
    send(2, frameOf({kLobbyValue, 1, 0, 0, 0}));
    EXPECT_EQ(server->lobbyValue, 0);
    EXPECT_EQ(allQueued(), std::vector<Bytes>(3));
    send(0, frameOf({kLobbyValue, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(server->lobbyValue, -1);
    Bytes frame = frameOf({kLobbyValue, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(allQueued(), (std::vector<Bytes>{{}, frame, frame}));
}

TEST_F(Lobby, SongStartsWhenEveryoneVoted) {
    client(1).gatedFlag = 1;
    send(0, frameOf({kStartVote}));
    send(1, frameOf({kStartVote}));
    EXPECT_EQ(server->songRunning, 0);
    EXPECT_EQ(allQueued(), std::vector<Bytes>(3));

    std::int64_t before = calendarSeconds();
    send(2, frameOf({kStartVote}, 0x33));
    EXPECT_EQ(server->songRunning, 1);
    EXPECT_TRUE(server->songStartTime >= before && server->songStartTime <= calendarSeconds());
    EXPECT_EQ(output.out(), Lines{"starting to play song Tu?ne"});
    EXPECT_EQ(allQueued(), std::vector<Bytes>(3, frameOf({kStartVote}, 0x33)));
    EXPECT_EQ(client(1).gatedFlag, 0);
    EXPECT_EQ(client(0).startVote + client(1).startVote + client(2).startVote, 3);  // votes stay
}

TEST_F(Lobby, ScoreReportsAreShownRelayedAndEndTheSong) {
    server->songRunning = 1;
    Bytes score = scoreFrame(1234.5, 45, 50);
    send(1, score);
    EXPECT_EQ(output.out(), (Lines{"bob scored: 1234.5", "Accuracy: 90"}));
    EXPECT_EQ(server->songRunning, 0);
    EXPECT_EQ(allQueued(), (std::vector<Bytes>{score, {}, score}));

    output.clear();
    client(0).sendLen = client(2).sendLen = 0;
    send(2, joined({scoreFrame(1234567.0, 1, 0), scoreFrame(0.25, 1, -3), scoreFrame(77.0, 1, 3)}));
    EXPECT_EQ(output.out(),
              (Lines{"carol? scored: 1.23457e+06", "carol? scored: 0.25", "carol? scored: 77", "Accuracy: 33.3333"}));
}
