// The state an upgraded server hands over: what the reader keeps of it, and
// how the program that takes over builds its records again.
#include "masterlist/master_list.h"
#include "platform/process/process.h"
#include "unit_support.h"
#include "upgrade/handover.h"
#include "upgrade/state_codec.h"

using namespace test;

namespace {

std::unique_ptr<HandoverState> blankState() {
    auto s = std::make_unique<HandoverState>();
    std::memset(s.get(), 0, sizeof *s);
    std::strcpy(s->name, "test server");
    s->port = 50505;
    s->maxPlayers = 4;
    s->listenSocket = kInvalidSocket;
    s->songArg3 = -1;
    s->announcedCount = -1;
    return s;
}

CarriedClient& addRecord(HandoverState& s, Socket sock, std::uint8_t id, const char* name) {
    CarriedClient& c = s.clients[s.clientCount++];
    c.sock = sock;
    c.id = id;
    std::strcpy(c.name, name);
    std::strcpy(c.peerIp, "127.0.0.1");
    c.authenticated = 1;
    c.dropReportMs = 0;
    return c;
}

Bytes encoded(const HandoverState& s) {
    Bytes b(kHandoverMaxBytes);
    b.resize(encodeHandover(s, b.data(), b.size()));
    return b;
}

struct Record {
    std::size_t at;  // of its type
    std::uint16_t type;
    std::uint32_t len;
};
std::vector<Record> recordsOf(const Bytes& b) {
    std::vector<Record> records;
    for (std::size_t at = 16; at + 6 <= b.size();) {
        Record r{at, static_cast<std::uint16_t>(b[at] | b[at + 1] << 8), static_cast<std::uint32_t>(readInt32(&b[at + 2]))};
        records.push_back(r);
        at += 6 + r.len;
    }
    return records;
}
void setTotal(Bytes& b) { writeInt32(&b[12], static_cast<std::int32_t>(b.size())); }

// Decodes; the reason of a refusal, or "" when the state was read.
std::string refusal(const Bytes& b, HandoverState& s) {
    char why[256] = "";
    return decodeHandover(b.data(), b.size(), s, why, sizeof why) ? "" : why;
}

}  // namespace

class Handover : public ServerFixture {};

// Every byte of a client's record (it has no padding), set to something
// other than its value in a fresh record, comes through capture, encoding,
// decoding and restore: a field the walk leaves out would come back zero.
TEST_F(Handover, EveryCarriedFieldSurvivesTheUpgrade) {
    std::size_t a = addClient("alice", true);
    addClient("bob", false);
    ClientConnection& alice = client(a);
    const Socket sock = alice.sock;
    const std::uint8_t id = alice.id;
    auto* bytes = reinterpret_cast<std::uint8_t*>(static_cast<CarriedClient*>(&alice));
    for (std::size_t i = 0; i < sizeof(CarriedClient); ++i) bytes[i] = static_cast<std::uint8_t>(0x21 + i % 91);
    // Then as the reader requires it: the socket and ID its own, flags 0 or
    // 1, texts ended, full buffers (only their used part travels).
    alice.sock = sock;
    alice.id = id;
    alice.startVote = alice.isHost = alice.authenticated = alice.kickRequested = 1;
    alice.name[40] = 0;
    alice.peerIp[15] = 0;
    alice.recvLen = kBufferSize;
    alice.sendLen = kBufferSize;
    alice.loginDeadlineMs = monotonicMs() + 3000;  // accepted 7 seconds ago
    alice.dropReportMs = monotonicMs() - 200;
    server->hostId = alice.id;
    server->songId = 12;
    std::strcpy(server->songName, "Tune");
    server->songRunning = 1;
    server->songStartTime = 1234567;
    auto state = blankState();
    captureServer(*server, true, *state);
    MasterListState* list = createMasterList("list.example.org");
    list->registered = 1;
    list->progress.announcedCount = 2;
    list->progress.checksSinceAnnounce = 5;
    list->progress.nextCheckMs = monotonicMs() + 30000;
    captureList(*list, *state);

    auto back = blankState();
    ASSERT_EQ(refusal(encoded(*state), *back), "");
    EXPECT_EQ(back->problemCount, 0);
    AnnounceStart start = announceStartFrom(*back, kAnnounceSchedule);
    EXPECT_EQ((std::vector<int>{start.counters.announcedCount, start.counters.checksSinceAnnounce}),
              (std::vector<int>{2, 5}));
    EXPECT_TRUE(start.firstDelayMs > 25000 && start.firstDelayMs <= 30000) << start.firstDelayMs;
    back->listRequestUnderWay = 1;
    start = announceStartFrom(*back, kAnnounceSchedule);
    EXPECT_EQ(start.counters.checksSinceAnnounce, kAnnounceSchedule.refreshChecks) << "an add under way goes out again";
    EXPECT_EQ(start.firstDelayMs, kAnnounceSchedule.firstDelayMs);

    if (!canReplaceProcess()) GTEST_SKIP() << "this platform takes no sockets over";
    char why[256] = "";
    LeftOut leftOut;
    GameServer* rebuilt = restoreServer(*back, true, leftOut, why, sizeof why);
    ASSERT_TRUE(rebuilt) << why;
    ASSERT_EQ(rebuilt->clients.size(), 2u);
    EXPECT_EQ((std::vector<int>{rebuilt->hostId, rebuilt->songRunning}), (std::vector<int>{1, 1}));
    EXPECT_EQ(rebuilt->songStartTime, 1234567);
    for (std::size_t i = 0; i < 2; ++i) {
        CarriedClient was = client(i), is = rebuilt->clients[i];
        // Times travel as time left and time passed, read on the clock again.
        EXPECT_NEAR(is.loginDeadlineMs, was.loginDeadlineMs, 100) << "the login deadline does not start again";
        EXPECT_NEAR(is.dropReportMs, was.dropReportMs, 100) << "a drop line 200 ms ago still holds the next one back";
        is.loginDeadlineMs = was.loginDeadlineMs;
        is.dropReportMs = was.dropReportMs;
        EXPECT_EQ(std::memcmp(&is, &was, sizeof is), 0) << "client " << i;
    }
    EXPECT_EQ((std::vector<int>{rebuilt->idInUse[1], rebuilt->idInUse[2], rebuilt->idInUse[3]}),
              (std::vector<int>{1, 1, 0}));
}

TEST_F(Handover, ReaderRefusesWhatItCannotTrust) {
    auto base = blankState();
    base->listenSocket = 90;
    addRecord(*base, 100, 1, "alice");
    addRecord(*base, 101, 2, "bob");
    const Bytes good = encoded(*base);
    auto s = blankState();
    ASSERT_EQ(refusal(good, *s), "");

    // The state as a whole.
    Bytes b = good;
    b[0] = 'X';
    EXPECT_EQ(refusal(b, *s), "it is no server state");
    b = good;
    b[8] = 3;
    EXPECT_EQ(refusal(b, *s), "it has state format 3, this release reads formats 1 to 2");
    b.assign(good.begin(), good.end() - 1);
    EXPECT_EQ(refusal(b, *s), "it says it has " + std::to_string(good.size()) + " bytes, but " +
                                  std::to_string(good.size() - 1) + " came");
    std::vector<Record> records = recordsOf(good);
    ASSERT_EQ(records[0].type, 1);
    b = good;
    writeInt32(&b[records[1].at + 2], 1 << 30);
    EXPECT_EQ(refusal(b, *s), "the record at byte " + std::to_string(records[1].at) + " is cut short");
    b = good;
    b.erase(b.begin() + 16, b.begin() + static_cast<std::ptrdiff_t>(records[1].at));
    setTotal(b);
    EXPECT_EQ(refusal(b, *s), "it has no settings");
    b = good;
    std::memset(&b[records[0].at + 6], 'n', 64);  // the server's name without its end
    EXPECT_EQ(refusal(b, *s), "its settings are damaged");

    // Single records.
    auto twice = blankState();
    *twice = *base;
    addRecord(*twice, 102, 1, "carol");
    addRecord(*twice, 90, 3, "dave");
    addRecord(*twice, 100, 4, "eve");
    ASSERT_EQ(refusal(encoded(*twice), *s), "");
    EXPECT_EQ(s->clientCount, 2u);
    ASSERT_EQ(s->problemCount, 3);
    EXPECT_STREQ(s->problems[0], "A client (ID 1) was left out: its ID is held by another client.");
    EXPECT_STREQ(s->problems[1], "A client (ID 3) was left out: its socket is the listener.");
    EXPECT_STREQ(s->problems[2], "A client (ID 4) was left out: its socket is held by another client.");
    std::vector<std::pair<Socket, int>> refused;
    for (std::uint32_t i = 0; i < s->refusedCount; ++i) refused.emplace_back(s->refused[i].sock, s->refused[i].id);
    EXPECT_EQ(refused, (std::vector<std::pair<Socket, int>>{{102, 1}, {90, 3}, {100, 4}}));

    // A host that no record names is left out too: the role moves on. One
    // whose record was refused is left out with it.
    auto hostless = blankState();
    *hostless = *base;
    hostless->hostId = 7;
    ASSERT_EQ(refusal(encoded(*hostless), *s), "");
    EXPECT_EQ(s->clientCount, 2u);
    ASSERT_EQ(s->problemCount, 1);
    EXPECT_STREQ(s->problems[0], "The lobby's host (ID 7) is no client carried over: the role moves on.");
    ASSERT_EQ(s->refusedCount, 1u);
    EXPECT_EQ(s->refused[0].id, 7);
    EXPECT_EQ(s->refused[0].sock, kInvalidSocket);
    EXPECT_EQ((std::vector<int>{s->hostId, s->hostLeftOut}), (std::vector<int>{0, 7}));
    twice->hostId = 3;
    ASSERT_EQ(refusal(encoded(*twice), *s), "");
    EXPECT_EQ(s->problemCount, 3);
    EXPECT_EQ((std::vector<int>{s->hostId, s->hostLeftOut}), (std::vector<int>{0, 3}));

    b = good;
    std::size_t recvLen = records[3].at + 6 + 4 + 1 + 64 + 7 + 4 + 8 + 16;
    writeInt32(&b[recvLen], kBufferSize + 1);
    ASSERT_EQ(refusal(b, *s), "");
    EXPECT_EQ(s->clientCount, 1u);
    EXPECT_STREQ(s->problems[0], "A client (ID 2) was left out: a buffer holds more than its field.");
    b = good;
    b[records[1].at + 6 + 1 + 4 + 65 + 16] = 2;  // a song neither running nor not
    ASSERT_EQ(refusal(b, *s), "");
    EXPECT_STREQ(s->problems[0], "The lobby's record is damaged: the lobby starts empty.");

    // What a newer release may add: records of other types, fields after
    // the known ones.
    b = good;
    Bytes extra = {99, 0, 3, 0, 0, 0, 1, 2, 3};
    b.insert(b.begin() + static_cast<std::ptrdiff_t>(records[2].at), extra.begin(), extra.end());
    setTotal(b);
    ASSERT_EQ(refusal(b, *s), "");
    EXPECT_EQ(s->clientCount, 2u);
    b = good;
    writeInt32(&b[records[3].at + 2], static_cast<std::int32_t>(records[3].len + 2));
    b.insert(b.begin() + static_cast<std::ptrdiff_t>(records[3].at + 6 + records[3].len), {7, 7});
    setTotal(b);
    ASSERT_EQ(refusal(b, *s), "");
    EXPECT_EQ(s->clientCount, 2u);
    EXPECT_EQ(s->problemCount, 0);
}

TEST_F(Handover, BuildingAgainLeavesOutWhatIsNoConnectionAndTellsTheOthersInTheFirstPass) {
    if (!canReplaceProcess()) GTEST_SKIP() << "this platform hands nothing over";
    std::size_t a = addClient("alice", true), b = addClient("bob", true);
    auto [stray, strayPeer] = tcpPair();    // a connection where the listener should be
    auto [refused, refusedPeer] = tcpPair();  // a record the reader refused
    auto state = blankState();
    state->listenSocket = stray;
    addRecord(*state, client(a).sock, 1, "alice");
    addRecord(*state, client(b).sock, 2, "bob");
    const Socket nothing = 1 << 20;  // no descriptor at all
    addRecord(*state, nothing, 3, "carol").isHost = 1;
    state->hostId = 3;
    state->refused[state->refusedCount++] = HandoverState::Refused{refused, 4};

    // Where the old program can be run again, nothing is left out or closed:
    // the first socket that is not as stated is the reason to hand back.
    char why[256] = "";
    LeftOut leftOut;
    EXPECT_FALSE(restoreServer(*state, true, leftOut, why, sizeof why));
    EXPECT_EQ(std::string(why), "the listener (descriptor " + std::to_string(stray) + ") is no listening TCP socket");
    state->listenSocket = kInvalidSocket;
    EXPECT_FALSE(restoreServer(*state, true, leftOut, why, sizeof why));
    EXPECT_EQ(std::string(why), "a client's socket (descriptor " + std::to_string(nothing) + ") is no TCP connection");
    EXPECT_TRUE(isOpen(stray));
    EXPECT_TRUE(output.err().empty());
    state->listenSocket = stray;

    // Otherwise what cannot be kept is left out, but rebuilding still reads,
    // writes and closes nothing: the first pass does.
    GameServer* rebuilt = restoreServer(*state, false, leftOut, nullptr, 0);
    EXPECT_EQ(rebuilt->listenSocket, kInvalidSocket);
    ASSERT_EQ(rebuilt->clients.size(), 2u);
    EXPECT_TRUE(isOpen(stray) && isOpen(refused));
    for (std::size_t i : {a, b}) EXPECT_EQ(rebuilt->clients[i].sendLen, 0u);
    EXPECT_EQ(output.err(),
              (Lines{"Taking over: the listener (descriptor " + std::to_string(stray) +
                         ") is no listening TCP socket: it is opened anew.",
                     "Taking over: a client's socket (descriptor " + std::to_string(nothing) +
                         ") is no TCP connection: the client is left out."}));

    tellOfLeftOut(*rebuilt, leftOut);
    EXPECT_FALSE(isOpen(stray)) << "a socket that cannot be trusted is closed";
    EXPECT_FALSE(isOpen(refused));
    EXPECT_EQ((std::vector<int>{rebuilt->hostId, rebuilt->clients[0].isHost, rebuilt->clients[1].isHost}),
              (std::vector<int>{1, 1, 0}));
    for (std::size_t i : {a, b})
        EXPECT_EQ(framesSent(rebuilt->clients[i], peer(i)),
                  (std::vector<Bytes>{frameOf({kPlayerLeft, 3}), frameOf({kHostAssigned, 1}), frameOf({kPlayerLeft, 4})}));
    closeHard(strayPeer);
    closeHard(refusedPeer);
}
