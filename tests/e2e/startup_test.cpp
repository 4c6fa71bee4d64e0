// Start-up, command line, the listener and the ways the process stops.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "harness.h"

namespace e2e {
namespace {

const std::string kGreeting = "Enter 'exit' to end the server, 'help' for a list of supported commands.";

std::vector<std::string> startLines(int port) {
    return {kGreeting, "", "Starting server...", "Establishing the listener...",
            "Waiting for connections on port " + std::to_string(port)};
}

// A listening socket on a free port, held by the test.
int holdPort(int& port) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        port = freePort();
        int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(s, 4) == 0) return s;
        ::close(s);
    }
    return -1;
}

TEST(e2eStartUp, PrintsItsLinesInOrderAndExitStops) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    EXPECT_EQ(server->lines(Stream::Out), startLines(server->port()));

    server->type("exit now");
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Stopping server..."));
    EXPECT_EQ(server->waitForExit(), 0);
    auto out = server->lines(Stream::Out);
    EXPECT_EQ(out.size(), 6u) << "nothing follows the stop line";
    EXPECT_TRUE(server->lines(Stream::Err).empty());
}

TEST(e2eStartUp, OptionValuesAreTakenVerbatimAndStrangersReported) {
    // "-name -port" names the server -port; the blanks of a name stay inside
    // its one argument; the last -maxplayers wins.
    auto server = Server::start({"-verbose", "-name", "-port", "-name", "Big  Room 42", "-Port", "1", "-maxplayers",
                                 "8", "-onlylanX", "-maxplayers", "2"});
    ASSERT_TRUE(server);
    std::vector<std::string> expected{"Command -verbose not recognized", "Command -Port not recognized",
                                      "Command 1 not recognized", "Command -onlylanX not recognized"};
    for (const auto& l : startLines(server->port())) expected.push_back(l);
    EXPECT_EQ(server->lines(Stream::Out), expected);

    auto alice = join(*server, "alice", {});
    auto bob = join(*server, "bob", {alice.get()});
    Client carol(server->port());
    carol.send(pkt::hello("carol"));
    EXPECT_BYTES(carol.recvExactly(72), pkt::helloReply(3, 3, "carol"));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Server is full"));
    EXPECT_TRUE(carol.waitForClose());
}

TEST(e2eStartUp, OptionGivenLastWithoutValueIsNotRecognized) {
    auto server = Server::start({"-maxplayers", "3", "-name"});
    ASSERT_TRUE(server);
    EXPECT_EQ(server->lines(Stream::Out).front(), "Command -name not recognized");

    // Only the option scan is looked at here: the earlier -port stands.
    Process bare({"-onlylan", "-port", std::to_string(freePort()), "-port"});
    EXPECT_TRUE(bare.waitForLine(Stream::Out, "Starting server..."));
    bare.type("exit");
    EXPECT_EQ(bare.waitForExit(), 0);
    auto out = bare.lines(Stream::Out);
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out[0], "Command -port not recognized");
    EXPECT_EQ(out[1], kGreeting);
}

TEST(e2eStartUp, PortAboveSixteenBitsBindsItsLowBitsAndShowsTheGivenValue) {
    int port = freePort();
    std::string given = std::to_string(port + 65536);
    Server server({"-onlylan", "-port", given}, port);
    EXPECT_TRUE(server.waitForLine(Stream::Out, "Waiting for connections on port " + given));
    auto alice = join(server, "alice", {});
    EXPECT_TRUE(alice->expectNothingMore());
}

TEST(e2eStartUp, PortInUseIsReportedAndTheConsoleGoesOn) {
    int port = 0;
    int holder = holdPort(port);
    ASSERT_GE(holder, 0);
    Process server({"-onlylan", "-port", std::to_string(port)});

    EXPECT_TRUE(server.expectLines(Stream::Err, {"bind() failed: Address already in use (10048)"}));
    EXPECT_TRUE(server.waitForLine(Stream::Out, "Establishing the listener..."));
    EXPECT_TRUE(server.expectLines(Stream::Out, {"", "establish listener: Address already in use (10048)"}));

    server.type("help");
    EXPECT_TRUE(server.expectLines(Stream::Out, {"", "Runtime commands:"}));
    server.type("players");
    EXPECT_TRUE(server.waitForLine(Stream::Out, "No players connected"));
    server.type("exit");
    EXPECT_TRUE(server.waitForLine(Stream::Out, "Stopping server..."));
    EXPECT_EQ(server.waitForExit(), 0);
    for (const auto& line : server.lines(Stream::Out))
        EXPECT_EQ(line.rfind("Waiting for connections", 0), std::string::npos);
    EXPECT_EQ(server.lines(Stream::Err).size(), 1u);
    ::close(holder);
}

void expectStopLikeExit(int sig) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    server->signal(sig);
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Stopping server..."));
    EXPECT_EQ(server->waitForExit(), 0);
    EXPECT_TRUE(alice->waitForClose());
    EXPECT_TRUE(server->lines(Stream::Err).empty());
}

// Ctrl+C: SIGINT here, the console's Ctrl+C event for the Windows binary
// (Wine passes SIGINT on as that event).
TEST(e2eStartUp, CtrlCEndsTheProcessLikeExit) { expectStopLikeExit(SIGINT); }

TEST(e2eStartUp, SigtermEndsTheProcessLikeExit) {
    if (serverIsWindows())
        GTEST_SKIP() << "Windows has no SIGTERM, and Wine ends a Windows process on it without any console event";
    expectStopLikeExit(SIGTERM);
}

// The process started ends for good, as a task manager ends it: nothing of
// the server serves on without it (on Windows, the server process it keeps
// stops once its keeper is gone).
TEST(e2eStartUp, AKilledProcessLeavesNoServerBehind) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    server->signal(SIGKILL);
    server->waitForExit();
    EXPECT_TRUE(alice->waitForClose());
    bool listening = true;
    for (auto end = driver::Clock::now() + kWait; listening && driver::Clock::now() < end;) {
        driver::Client late(server->port());
        listening = late.connected();
        if (listening) std::this_thread::sleep_for(20ms);
    }
    EXPECT_FALSE(listening) << "something still listens on the port";
}

// On Windows the server runs in a process of its own under its keeper: one
// that ends without stopping (here killed) ends the keeper with a failure
// and a line, however the system reports its end.
TEST(e2eStartUp, AServerProcessThatEndsWithoutStoppingIsAFailure) {
    if (!serverIsWindows()) GTEST_SKIP() << "a Linux server is the process started";
    auto server = Server::start();
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    std::vector<int> processes = processesOnPort(server->port());
    ASSERT_EQ(processes.size(), 2u);
    for (int pid : processes)
        if (pid != server->pid()) ::kill(pid, SIGKILL);
    EXPECT_TRUE(server->waitForLineStartingWith(Stream::Err, "The server process ended without stopping (exit code "));
    auto code = server->waitForExit();
    EXPECT_TRUE(code.has_value() && *code != 0);
    EXPECT_TRUE(alice->waitForClose());
}

TEST(e2eStartUp, EndOfConsoleInputKeepsTheServerServing) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    server->closeInput();

    auto alice = join(*server, "alice", {});
    auto bob = join(*server, "bob", {alice.get()});
    bob->send(pkt::chat("still here"));
    EXPECT_BYTES(alice->recvFrame(), pkt::chat("still here"));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "bob: still here"));
    EXPECT_FALSE(server->waitForExit(0ms).has_value());

    server->signal(stopSignal());
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Stopping server..."));
    EXPECT_EQ(server->waitForExit(), 0);
}

}  // namespace
}  // namespace e2e
