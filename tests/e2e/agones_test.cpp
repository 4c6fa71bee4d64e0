// The server under an orchestrator: what it tells the game-server SDK over
// the lobby's life, against a stand-in sidecar on loopback.
#include <csignal>

#include "fake_sdk.h"
#include "harness.h"

namespace e2e {
namespace {

using Calls = std::vector<FakeSdk::Call>;

std::vector<std::string> named(const Calls& calls, bool withHealth) {
    std::vector<std::string> out;
    for (const auto& c : calls)
        if (withHealth || c.path != "/health") out.push_back(c.method + " " + c.path);
    return out;
}

long long msBetween(const FakeSdk::Call& a, const FakeSdk::Call& b) {
    return std::chrono::duration_cast<Ms>(b.at - a.at).count();
}

std::unique_ptr<Server> startWithSdk(const FakeSdk& sdk, const std::vector<std::string>& command = {}) {
    return Server::start({}, command, {"AGONES_SDK_HTTP_PORT=" + std::to_string(sdk.port())});
}

std::string readyLine(const FakeSdk& sdk) { return "Agones SDK on port " + std::to_string(sdk.port()) + ": ready."; }

TEST(e2eAgones, ReadyAllocatedWhilePlayersAreOnHealthyAndShutDownAtTheStop) {
    // The sidecar comes up after the server: Ready is tried again until it
    // answers, without a line per try.
    FakeSdk sdk(2500);
    ASSERT_TRUE(sdk.ok());
    auto server = startWithSdk(sdk);
    ASSERT_TRUE(server);
    ASSERT_TRUE(server->waitForLine(Stream::Out, readyLine(sdk)));
    Calls calls = sdk.calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].method + " " + calls[0].path, "POST /ready");
    EXPECT_LE(std::chrono::duration_cast<Ms>(calls[0].at - sdk.answeringSince()).count(), 1500);
    const std::string& ready = calls[0].request;
    for (const char* part : {"Host: localhost\r\n", "Content-Type: application/json\r\n", "Content-Length: 2\r\n"})
        EXPECT_NE(ready.find(part), std::string::npos) << part << " missing in " << ready;
    EXPECT_EQ(ready.substr(ready.size() - 6), "\r\n\r\n{}");

    // Health every two seconds, the orchestrator allowing five.
    int h1 = sdk.waitForCall("/health", 0, 15000);
    int h2 = sdk.waitForCall("/health", h1 + 1, 15000);
    int h3 = sdk.waitForCall("/health", h2 + 1, 15000);
    ASSERT_GE(h3, 0);
    calls = sdk.calls();
    for (auto [a, b] : {std::pair{h1, h2}, std::pair{h2, h3}}) {
        EXPECT_GE(msBetween(calls[a], calls[b]), 1500);
        EXPECT_LE(msBetween(calls[a], calls[b]), 3500);
    }

    // Allocated from the first login until the last player has left, and
    // only then ready again.
    auto alice = join(*server, "alice", {});
    ASSERT_GE(sdk.waitForCall("/allocate", 0, 15000), 0);
    auto bob = join(*server, "bob", {alice.get()});
    alice.reset();
    ASSERT_TRUE(server->waitForLine(Stream::Out, "Client ID 1 disconnected"));
    bob.reset();
    ASSERT_GE(sdk.waitForCall("/ready", 1, 15000), 0);

    server->type("exit");
    EXPECT_EQ(server->waitForExit(), 0);
    calls = sdk.calls();
    EXPECT_EQ(named(calls, false), (std::vector<std::string>{"POST /ready", "GET /gameserver", "POST /allocate",
                                                              "POST /ready", "POST /shutdown"}));
    EXPECT_EQ(named(calls, true).back(), "POST /shutdown");
    for (const auto& line : server->lines(Stream::Out))
        EXPECT_EQ(line.find("cannot be reached"), std::string::npos) << line;
}

TEST(e2eAgones, AStuckNetworkLoopStopsTheHealthPingsAndTheStopStillShutsDown) {
    if (serverIsWindows()) GTEST_SKIP() << "the fault builds are Linux programs";
    FakeSdk sdk;
    ASSERT_TRUE(sdk.ok());
    auto server = startWithSdk(sdk, {std::string(GAMESERVER_FAULTY_DIR) + "/gameserver_stall"});
    ASSERT_TRUE(server);
    ASSERT_GE(sdk.waitForCall("/health", 0, 15000), 0);

    Client staller(server->port());
    staller.send(pkt::hello("stall"));
    ASSERT_TRUE(server->waitForLine(Stream::Out, "Player \"stall\" connected."));
    auto stuckSince = driver::Clock::now();
    // A loop seen within the last second still counts as running, so a ping
    // may go soon after; none later, for well over the orchestrator's three
    // missed periods.
    int last = static_cast<int>(sdk.calls().size()) - 1;
    for (int next; (next = sdk.waitForCall("/health", static_cast<std::size_t>(last) + 1, 7000)) >= 0;) {
        ASSERT_LT(sdk.calls()[static_cast<std::size_t>(next)].at - stuckSince, 2500ms) << "pinged while stuck";
        last = next;
    }

    server->type("exit");
    EXPECT_GE(sdk.waitForCall("/shutdown", 0, 15000), 0);
}

TEST(e2eAgones, AnUpgradeInPlaceLeavesAnOccupiedLobbyAllocated) {
    if (serverIsWindows()) GTEST_SKIP() << "the upgrade in place is there on Linux only";
    FakeSdk sdk;
    ASSERT_TRUE(sdk.ok());
    ProgramCopy program;
    auto server = startWithSdk(sdk, program.command());
    ASSERT_TRUE(server);
    ASSERT_GE(sdk.waitForCall("/health", 0, 15000), 0);
    auto alice = join(*server, "alice", {});
    int allocated = sdk.waitForCall("/allocate", 0, 15000);
    ASSERT_GE(allocated, 0);

    program.install();
    server->signal(SIGUSR2);
    ASSERT_TRUE(upgraded(*server, program));
    // The new program takes the SDK up with the player on: allocated at
    // once, never ready in between, and healthy.
    int again = sdk.waitForCall("/allocate", static_cast<std::size_t>(allocated) + 1, 15000);
    ASSERT_GE(again, 0);
    EXPECT_GE(sdk.waitForCall("/health", static_cast<std::size_t>(again) + 1, 15000), 0);
    server->type("exit");
    EXPECT_EQ(server->waitForExit(), 0);
    EXPECT_EQ(named(sdk.calls(), false), (std::vector<std::string>{"POST /ready", "GET /gameserver", "POST /allocate",
                                                                    "POST /allocate", "GET /gameserver",
                                                                    "POST /shutdown"}));
}

}  // namespace
}  // namespace e2e
