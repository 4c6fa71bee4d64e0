// The draining stop: with GAMESERVER_DRAIN_SECONDS set, a termination request
// refuses new players as a full server does while the lobby plays on, and
// the server stops when the lobby is empty or at the deadline; a second
// request, Ctrl+C or "exit" stops at once; an upgrade keeps the deadline.
#include <signal.h>

#include "harness.h"

namespace e2e {
namespace {

using namespace pkt;

const char* const kLinuxOnly =
    "a termination request reaches the Windows build only through its service manager, which Wine cannot "
    "send from here";

std::unique_ptr<Server> drainingServer(int seconds, const std::vector<std::string>& command = {}) {
    return Server::start({"-maxplayers", "8"}, command, {"GAMESERVER_DRAIN_SECONDS=" + std::to_string(seconds)});
}

std::string drainLine(int players, int seconds) {
    return "Draining: " + std::to_string(players) + (players == 1 ? " player" : " players") +
           " left; the server stops when the lobby is empty, or in " + std::to_string(seconds) + " seconds.";
}

// The text of the server's next chat to this client.
std::string chatText(Client& client) {
    Bytes got = client.recvFrame();
    if (got.size() < 3 || got[1] != 3) return "(no chat: " + hex(got) + ")";
    std::string text(got.begin() + 2, got.end());
    return text.substr(0, text.find('\0'));
}

TEST(e2eDrain, PlayersPlayOnNewcomersAreToldItIsFullAndTheLastToLeaveEndsIt) {
    if (serverIsWindows()) GTEST_SKIP() << kLinuxOnly;
    auto server = drainingServer(600);
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    auto bob = join(*server, "bob", {alice.get()});

    server->signal(SIGTERM);
    EXPECT_TRUE(server->waitForLine(Stream::Out, drainLine(2, 600)));
    for (Client* c : {alice.get(), bob.get()}) {
        const std::string told = chatText(*c);
        EXPECT_NE(told.find("no new players"), std::string::npos) << told;
        EXPECT_NE(told.find("600 seconds"), std::string::npos) << told;
    }

    // The lobby plays on: relays and chat go round, again and again.
    for (int i = 0; i < 3; ++i) {
        alice->send(frame(8));
        EXPECT_BYTES(bob->recvFrame(), frame(8));
        bob->send(chat("still here"));
        EXPECT_BYTES(alice->recvFrame(), chat("still here"));
    }
    // Newcomers are answered as by a full server, each of them.
    for (const char* name : {"carol", "dave"}) {
        Client late(server->port());
        late.send(hello(name));
        EXPECT_BYTES(late.recvFrame(), helloReply(3, 3, name));
        EXPECT_TRUE(server->waitForLine(Stream::Out, "Server is full"));
        EXPECT_TRUE(late.waitForClose());
        for (Client* c : {alice.get(), bob.get()}) c->recvFrame();  // its PlayerLeft
    }

    alice.reset();
    EXPECT_TRUE(server->waitForLineStartingWith(Stream::Out, "Draining: 1 player left;"));
    bob.reset();
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Draining: the lobby is empty."));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Stopping server..."));
    EXPECT_EQ(server->waitForExit(), 0);
}

TEST(e2eDrain, TheDeadlineEndsItAfterALastCall) {
    if (serverIsWindows()) GTEST_SKIP() << kLinuxOnly;
    auto server = drainingServer(3);
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    server->signal(SIGTERM);
    EXPECT_TRUE(server->waitForLine(Stream::Out, drainLine(1, 3)));
    const std::string told = chatText(*alice);
    EXPECT_NE(told.find("3 seconds"), std::string::npos) << told;
    const std::string lastCall = chatText(*alice);
    EXPECT_NE(lastCall.find("closes in"), std::string::npos) << lastCall;
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Draining: the time is up; the players left are disconnected."));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Stopping server..."));
    EXPECT_TRUE(alice->waitForClose());
    EXPECT_EQ(server->waitForExit(), 0);
}

TEST(e2eDrain, ASecondRequestCtrlCOrExitStopsAtOnce) {
    if (serverIsWindows()) GTEST_SKIP() << kLinuxOnly;
    struct Way {
        const char* name;
        std::function<void(Server&)> stop;
    };
    const Way ways[] = {{"a second termination", [](Server& s) { s.signal(SIGTERM); }},
                        {"Ctrl+C", [](Server& s) { s.signal(SIGINT); }},
                        {"exit", [](Server& s) { s.type("exit"); }}};
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        auto server = drainingServer(600);
        ASSERT_TRUE(server);
        auto alice = join(*server, "alice", {});
        server->signal(SIGTERM);
        EXPECT_TRUE(server->waitForLine(Stream::Out, drainLine(1, 600)));
        way.stop(*server);
        EXPECT_TRUE(server->waitForLine(Stream::Out, "Stopping server..."));
        EXPECT_TRUE(alice->waitForClose());
        EXPECT_EQ(server->waitForExit(), 0);
    }
    // A drain of no length, a value that is none, and Ctrl+C as the first
    // request: the first request stops, without a drain.
    struct Start {
        const char* seconds;
        int signal;
    };
    for (const Start& start : {Start{"0", SIGTERM}, Start{"soon", SIGTERM}, Start{"86401", SIGTERM},
                               Start{"600", SIGINT}}) {
        SCOPED_TRACE(start.seconds);
        auto server = Server::start({}, {}, {std::string("GAMESERVER_DRAIN_SECONDS=") + start.seconds});
        ASSERT_TRUE(server);
        const std::string value = start.seconds;
        if (value == "soon" || value == "86401") {
            EXPECT_TRUE(server->waitForLine(Stream::Err, "GAMESERVER_DRAIN_SECONDS \"" + value +
                                                             "\" is not a number of seconds from 0 to 86400: a stop "
                                                             "ends the server at once."));
        }
        auto alice = join(*server, "alice", {});
        server->signal(start.signal);
        EXPECT_TRUE(server->waitForLine(Stream::Out, "Stopping server..."));
        EXPECT_TRUE(alice->waitForClose());
        EXPECT_EQ(server->waitForExit(), 0);
        for (const auto& line : server->lines(Stream::Out)) EXPECT_EQ(line.rfind("Draining", 0), std::string::npos);
    }
}

TEST(e2eDrain, AnUpgradeKeepsTheDrainAndItsDeadline) {
    if (serverIsWindows()) GTEST_SKIP() << "the upgrade in place is there on Linux only";
    ProgramCopy program;
    auto server = drainingServer(8, program.command());
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    server->signal(SIGTERM);
    EXPECT_TRUE(server->waitForLine(Stream::Out, drainLine(1, 8)));
    chatText(*alice);
    // Time passes before the upgrade: the deadline must not start again.
    std::this_thread::sleep_for(3s);
    program.install();
    server->signal(SIGUSR2);
    ASSERT_TRUE(upgraded(*server, program));
    auto resumed = server->waitForLineStartingWith(Stream::Out, "Draining: 1 player left;");
    ASSERT_TRUE(resumed);
    const std::string lead = "the lobby is empty, or in ";
    const int left = std::stoi(resumed->substr(resumed->find(lead) + lead.size()));
    EXPECT_LE(left, 6) << "the deadline started again";
    EXPECT_GE(left, 1);
    // Still refusing newcomers, still relaying.
    Client late(server->port());
    late.send(hello("bob"));
    EXPECT_BYTES(late.recvFrame(), helloReply(2, 3, "bob"));
    alice->send(chat("after the upgrade"));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "alice: after the upgrade"));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Draining: the time is up; the players left are disconnected.", 15s));
    EXPECT_EQ(server->waitForExit(), 0);
}

}  // namespace
}  // namespace e2e
