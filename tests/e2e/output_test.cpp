// A console nobody reads: the game, the commands and the stop go on, and the
// lines that found no room are counted and reported.
#include <regex>

#include "harness.h"

namespace e2e {
namespace {

// Far more than the pipe (64 KiB) and the server's output queue (1 MiB) hold.
constexpr int kFloodLines = 4000;
const std::string kFloodText(500, 'x');

// Alice chats alone, one console line per chat, then cancels a start: that
// comes back to her only after every chat before it was handled.
void flood(Client& alice) {
    Bytes chats;
    for (int i = 0; i < kFloodLines; ++i) {
        Bytes one = pkt::chat(kFloodText);
        chats.insert(chats.end(), one.begin(), one.end());
    }
    alice.send(chats);
    alice.send(pkt::frame(19));
    EXPECT_BYTES(alice.recvFrame(), pkt::frame(19));
}

TEST(e2eOutput, AStalledConsoleHoldsUpNeitherGameNorCommandsNorStop) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    server->pauseReading(Stream::Out);
    flood(*alice);

    // A login, a chat and a console command, all while nothing is written.
    Client bob(server->port());
    bob.send(pkt::hello("bob"));
    EXPECT_BYTES(bob.recvFrame(), pkt::helloReply(2, 0, "bob"));
    for (Bytes f = bob.recvFrame(); f.size() >= 2 && f[1] != 18; f = bob.recvFrame()) {
    }
    Bytes info = alice->recvFrame();
    EXPECT_TRUE(info.size() == 74 && info[1] == 11 && info[66] == 2) << pkt::hex(info);
    bob.send(pkt::chat("still playing"));
    EXPECT_BYTES(alice->recvFrame(), pkt::chat("still playing"));
    // Commands one after another, each read while the output is held up.
    server->type("players");
    server->type("say from the console");
    server->type("say and again");
    for (Client* c : {alice.get(), &bob}) {
        EXPECT_BYTES(c->recvFrame(), pkt::chat("from the console"));
        EXPECT_BYTES(c->recvFrame(), pkt::chat("and again"));
    }

    // Output flows again: once the queue is written out, the count of the
    // lost lines follows, and new lines are written again.
    server->resumeReading(Stream::Out);
    ASSERT_TRUE(server->waitForLineStartingWith(Stream::Err, "", kWait));
    server->type("players");
    EXPECT_TRUE(server->waitForLine(Stream::Out, "ID\tName"));
    long dropped = 0;
    for (const auto& line : server->lines(Stream::Err)) {
        std::smatch m;
        if (std::regex_match(line, m, std::regex("([0-9]+) lines of output were dropped\\.")))
            dropped += std::stol(m[1]);
        else
            ADD_FAILURE() << "unexpected on standard error: " << line;
    }
    long shown = 0;
    for (const auto& line : server->lines(Stream::Out))
        if (line == "alice: " + kFloodText) ++shown;
    EXPECT_GT(dropped, 0);
    EXPECT_LT(shown, kFloodLines);
    // The queue alone holds 1 MiB: over 2,000 of these lines.
    EXPECT_GT(shown, 2000);
    // Every chat line was either written or counted; a few other lines (the
    // login, the chat, the commands) may have been dropped with them.
    EXPECT_GE(shown + dropped, kFloodLines);
    EXPECT_LE(shown + dropped, kFloodLines + 24);

    // The stop does not wait for a console that never reads again.
    server->pauseReading(Stream::Out);
    flood(*alice);
    server->type("exit");
    EXPECT_EQ(server->waitForExit(), 0);
}

}  // namespace
}  // namespace e2e
