// The state's format, pinned: the bytes this release writes for a known
// state, which every later release must read as this one does; and the bytes
// release 1.1.0 wrote (format 1), which this release reads to the same state.
// A change that breaks either breaks the upgrade from a running server.
#include "unit_support.h"
#include "upgrade/check_answer.h"
#include "upgrade/state_codec.h"

using namespace test;

namespace {

Bytes fromHex(std::initializer_list<const char*> lines) {
    Bytes b;
    for (const char* line : lines)
        for (const char* p = line; p[0] && p[1]; p += 2)
            b.push_back(static_cast<std::uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    return b;
}

// Format 2, as release 1.2.0 wrote the state below: without the fleet's
// record.
const Bytes kFormat2 =
    fromHex({"475348414e444f560200000079020000"
             // record type 1, 146 bytes
             "01009200000050696e6e65640000000000000000000000000000000000000000"
             "0000000000000000000000000000000000000000000000000000000000000000"
             "00000000000049c5000008017077000000000000000000000000000000000000"
             "0000000000000000000000000000000000000000000000000000000000000000"
             "000000000000000000000000030000002800000000000000"
             // record type 2, 95 bytes
             "02005f000000010700000054756e650000000000000000000000000000000000"
             "0000000000000000000000000000000000000000000000000000000000000000"
             "000000000000000000000000010000000200000003000000050000000100f153"
             "6500000000"
             // record type 3, 129 bytes
             "0300810000000400000001616c69636500000000000000000000000000000000"
             "0000000000000000000000000000000000000000000000000000000000000000"
             "0000000000000000000000010101010101000300000000000000000000003132"
             "372e302e302e310000000000000003000000000341020000000008ffffffffff"
             "ffffff04000000"
             // record type 3, 124 bytes
             "03007c0000000500000002626f62000000000000000000000000000000000000"
             "0000000000000000000000000000000000000000000000000000000000000000"
             "000000000000000000000000000000000001ffffffff00000000000000003130"
             "2e302e302e3200000000000000000000000000000000ffffffffffffffff0000"
             "0000"
             // record type 4, 37 bytes
             "040025000000010110006c6973742e6578616d706c652e6f7267020000000500"
             "0000307500000000000000"
             // record type 5, 24 bytes
             "0500180000000b0000007361792068690a70617274701101000000000001"
             // record type 6, 20 bytes
             "0600140000000300000000000000080000000005006c696e650a"});

// The fleet's record this release writes for the state below, 205 bytes.
const Bytes kFleetRecord =
    fromHex({"0700cd0000000188130000000000000068e5cf8b010000070000000000000016"
             "0000000100000000000000020000000000000003000000000000000400000000"
             "0000000500000000000000060000000000000007000000000000000800000000"
             "00000009000000000000000a000000000000000b000000000000000c00000000"
             "0000000d000000000000000e000000000000000f000000000000001000000000"
             "0000001100000000000000120000000000000013000000000000001400000000"
             "00000015000000000000001600000000000000"});

// Release 1.2.0's bytes with the fleet's record after the list's: format 2 as
// this release writes it.
Bytes withFleetRecord(const Bytes& release120, const Bytes& fleet) {
    std::size_t pos = 16;
    while (pos < release120.size() && release120[pos] != 5) {
        std::uint32_t len = release120[pos + 2] | release120[pos + 3] << 8 | release120[pos + 4] << 16;
        pos += 6 + len;
    }
    Bytes b(release120.begin(), release120.begin() + static_cast<std::ptrdiff_t>(pos));
    b.insert(b.end(), fleet.begin(), fleet.end());
    b.insert(b.end(), release120.begin() + static_cast<std::ptrdiff_t>(pos), release120.end());
    std::uint32_t total = static_cast<std::uint32_t>(b.size());
    for (int i = 0; i < 4; ++i) b[12 + i] = static_cast<std::uint8_t>(total >> (8 * i));
    return b;
}

// The same with the fleet's record a state without one reads to: no drain,
// no start time, every total 0.
Bytes withEmptyFleetRecord(const Bytes& release120) {
    Bytes empty = fromHex({"0700cd000000"});
    empty.resize(empty.size() + 1 + 8 + 8 + 8);
    for (std::uint8_t byte : {22, 0, 0, 0}) empty.push_back(byte);
    empty.resize(empty.size() + 22 * 8);
    return withFleetRecord(release120, empty);
}

// Format 1, as release 1.1.0 wrote the same state, with a login deadline
// 4 s off and a drop line 250 ms ago (format 1 has no count of console input
// left out).
const Bytes kFormat1 =
    fromHex({"475348414e444f560100000068020000"
             // record type 1, 146 bytes
             "01009200000050696e6e65640000000000000000000000000000000000000000"
             "0000000000000000000000000000000000000000000000000000000000000000"
             "00000000000049c5000008017077000000000000000000000000000000000000"
             "0000000000000000000000000000000000000000000000000000000000000000"
             "000000000000000000000000030000002800000000000000"
             // record type 2, 95 bytes
             "02005f000000010700000054756e650000000000000000000000000000000000"
             "0000000000000000000000000000000000000000000000000000000000000000"
             "000000000000000000000000010000000200000003000000050000000100f153"
             "6500000000"
             // record type 3, 129 bytes
             "0300810000000400000001616c69636500000000000000000000000000000000"
             "0000000000000000000000000000000000000000000000000000000000000000"
             "0000000000000000000000010101010101000300000000000000000000003132"
             "372e302e302e310000000000000003000000000341020000000008fa00000000"
             "00000004000000"
             // record type 3, 124 bytes
             "03007c0000000500000002626f62000000000000000000000000000000000000"
             "0000000000000000000000000000000000000000000000000000000000000000"
             "000000000000000000000000000000000001ffffffffa00f0000000000003130"
             "2e302e302e3200000000000000000000000000000000ffffffffffffffff0000"
             "0000"
             // record type 4, 37 bytes
             "040025000000010110006c6973742e6578616d706c652e6f7267020000000500"
             "0000307500000000000000"
             // record type 5, 11 bytes
             "05000b0000007361792068690a70617274"
             // record type 6, 16 bytes
             "06001000000003000000000000000005006c696e650a"});

// The known state: a lobby with a song running, a host with bytes in both
// buffers, a client not logged in and kicked, the list entry, a console line
// in part and one queued line of output.
std::unique_ptr<HandoverState> knownState() {
    auto s = std::make_unique<HandoverState>();
    std::memset(s.get(), 0, sizeof *s);
    std::strcpy(s->name, "Pinned");
    s->port = 50505;
    s->maxPlayers = 8;
    s->onlylan = 1;
    std::strcpy(s->password, "pw");
    s->listenSocket = 3;
    s->listenerRestMsLeft = 40;
    s->hostId = 1;
    s->songId = 7;
    std::strcpy(s->songName, "Tune");
    s->songArg1 = 1;
    s->songArg2 = 2;
    s->songArg3 = 3;
    s->lobbyValue = 5;
    s->songRunning = 1;
    s->songStartTime = 1700000000;
    s->clientCount = 2;
    CarriedClient& a = s->clients[0];
    a.sock = 4;
    a.id = 1;
    std::strcpy(a.name, "alice");
    a.gatedFlag = a.songFlag = a.startVote = a.streamOptIn = a.isHost = a.authenticated = 1;
    a.playerValue = 3;
    std::strcpy(a.peerIp, "127.0.0.1");
    a.recvLen = 3;
    std::memcpy(a.recvBuf, "\x00\x03\x41", 3);
    a.sendLen = 2;
    std::memcpy(a.sendBuf, "\x00\x08", 2);
    a.dropsUnreported = 4;
    CarriedClient& b = s->clients[1];
    b.sock = 5;
    b.id = 2;
    std::strcpy(b.name, "bob");
    b.kickRequested = 1;
    b.playerValue = -1;
    std::strcpy(b.peerIp, "10.0.0.2");
    s->listRegistered = 1;
    s->listRedirectResolved = 1;
    std::strcpy(s->listHost, "list.example.org");
    s->announcedCount = 2;
    s->checksSinceAnnounce = 5;
    s->nextCheckMsLeft = 30000;
    std::strcpy(s->console, "say hi\npart");
    s->consoleLen = 11;
    s->consoleLeftOut = 70000;
    s->consoleSkipLine = 1;
    const std::uint8_t line[] = {0, 5, 0, 'l', 'i', 'n', 'e', '\n'};
    std::memcpy(s->output, line, sizeof line);
    s->outputLen = sizeof line;
    s->outputDropped = 3;
    s->draining = 1;
    s->drainMsLeft = 5000;
    s->startedAtMs = 1700000000000;
    s->consoleLinesDropped = 7;
    for (std::size_t i = 0; i < kCounterCount; ++i) s->counters[i] = i + 1;
    return s;
}

Bytes encoded(const HandoverState& s) {
    Bytes b(kHandoverMaxBytes);
    b.resize(encodeHandover(s, b.data(), b.size()));
    return b;
}

std::unique_ptr<HandoverState> decoded(const Bytes& b) {
    auto s = std::make_unique<HandoverState>();
    std::memset(s.get(), 0, sizeof *s);
    char why[256] = "";
    EXPECT_TRUE(decodeHandover(b.data(), b.size(), *s, why, sizeof why)) << why;
    EXPECT_EQ(s->problemCount, 0) << s->problems[0];
    return s;
}

}  // namespace

TEST(HandoverFormat, ThisReleaseWritesThePinnedBytesAndReadsThemBack) {
    const Bytes thisRelease = withFleetRecord(kFormat2, kFleetRecord);
    EXPECT_EQ(encoded(*knownState()), thisRelease);
    auto back = decoded(thisRelease);
    EXPECT_EQ(back->format, 2u);
    // Times are read onto this process's clock: a deadline passed stays
    // passed, no drop line stays none.
    EXPECT_EQ(back->clients[0].dropReportMs, 0);
    EXPECT_LE(back->clients[1].loginDeadlineMs, monotonicMs());
    EXPECT_EQ(encoded(*back), thisRelease) << "every field is read where it was written";
    // Release 1.2.0's state, without the fleet's record, reads to the same
    // with no drain and the totals at 0.
    EXPECT_EQ(encoded(*decoded(kFormat2)), withEmptyFleetRecord(kFormat2));
}

TEST(HandoverFormat, TheFormatOfRelease110ReadsToTheSameState) {
    auto back = decoded(kFormat1);
    EXPECT_EQ(back->format, 1u);
    long long now = monotonicMs();
    long long left = back->clients[1].loginDeadlineMs - now, ago = now - back->clients[0].dropReportMs;
    EXPECT_TRUE(left > 3000 && left <= 4000) << left;
    EXPECT_TRUE(ago >= 250 && ago < 1250) << ago;
    back->clients[1].loginDeadlineMs = 0;
    back->clients[0].dropReportMs = 0;
    back->consoleLeftOut = 70000;
    back->consoleSkipLine = 1;
    EXPECT_EQ(encoded(*back), withEmptyFleetRecord(kFormat2));
}

// The check's answer, which other releases write and read: this release's
// lines read back as written, and what another program may say instead is
// judged without trusting it.
TEST(HandoverFormat, TheChecksAnswerReadsBackAndNothingElsePasses) {
    const std::string keeps = checkAnswerLine("1.2.0", CheckAnswer{CheckAnswer::Keeps, 3, ""});
    EXPECT_EQ(keeps, "gameserver-handover formats 1,2 release 1.2.0 keeps 3 clients");
    CheckAnswer back = readCheckAnswer(keeps.c_str());
    EXPECT_EQ(back.kind, CheckAnswer::Keeps);
    EXPECT_EQ(back.kept, 3u);
    EXPECT_EQ(readCheckAnswer(checkAnswerLine("1.2.0", CheckAnswer{CheckAnswer::Keeps, 1, ""}).c_str()).kept, 1u);
    const std::string refuses = checkAnswerLine("1.2.0", CheckAnswer{CheckAnswer::Refuses, 0, "too many"});
    EXPECT_EQ(refuses, "gameserver-handover formats 1,2 release 1.2.0 refuses: too many");
    EXPECT_STREQ(readCheckAnswer(refuses.c_str()).why, "too many");
    EXPECT_EQ(checkAnswerLine("1.2.0", CheckAnswer{CheckAnswer::Unknown, 0, ""}),
              "gameserver-handover formats 1,2 release 1.2.0");

    struct Case {
        const char* answer;
        CheckAnswer::Kind kind;
        const char* why;
    } const cases[] = {
        // A release that gives no verdict, as release 1.1.0 answers.
        {"gameserver-handover formats 1 release 1.1.0", CheckAnswer::NoFormat,
         "it reads state format 1, this server writes format 2"},
        {"gameserver-handover formats 2 release 9.0.0", CheckAnswer::Unknown,
         "it did not say what it makes of the state"},
        {"gameserver-handover formats 2 release 9 keeps 3 clients and more", CheckAnswer::Unknown,
         "it did not say what it makes of the state"},
        {"gameserver-handover formats 99999999999999999999,2 release 9 keeps 2 clients", CheckAnswer::Keeps, ""},
        {"gameserver-handover formats 2 release 9 refuses: a\x1b[2Jb", CheckAnswer::Refuses, "a?[2Jb"},
        {"hello\x07 world", CheckAnswer::Unknown, "it gave an answer no server gives (\"hello? world\")"},
    };
    for (const Case& c : cases) {
        CheckAnswer a = readCheckAnswer(c.answer);
        EXPECT_EQ(a.kind, c.kind) << c.answer;
        EXPECT_STREQ(a.why, c.why) << c.answer;
    }
}
