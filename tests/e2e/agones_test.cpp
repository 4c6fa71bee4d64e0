// The server under an orchestrator: what it tells the game-server SDK over
// the lobby's life, against a stand-in sidecar on loopback.
#include <csignal>

#include "fake_list_server.h"
#include "harness.h"

namespace e2e {
namespace {

// The sidecar, refusing connections for refuseMs first.
std::unique_ptr<FakeListServer> sidecar(int refuseMs = 0) {
    auto sdk = std::make_unique<FakeListServer>(0, refuseMs);
    sdk->setAnswer("GET /gameserver ", gameServerRecordAnswer(7777));
    return sdk;
}

// "POST /ready" and the like, health pings left out unless asked for.
std::vector<std::string> calls(FakeListServer& sdk, bool withHealth = false) {
    std::vector<std::string> out;
    for (const auto& request : sdk.requests()) {
        std::string line = request.substr(0, request.find(" HTTP/"));
        if (withHealth || line != "POST /health") out.push_back(line);
    }
    return out;
}

int waitForCall(FakeListServer& sdk, const std::string& call, int after = -1) {
    return sdk.waitForRequest(call + " ", static_cast<std::size_t>(after + 1), 15000);
}

std::unique_ptr<Server> startWithSdk(const FakeListServer& sdk, const std::vector<std::string>& command = {}) {
    return Server::start({}, command, {"AGONES_SDK_HTTP_PORT=" + std::to_string(sdk.port())});
}

TEST(e2eAgones, ReadyAllocatedWhilePlayersAreOnHealthyAndShutDownAtTheStop) {
    // The sidecar comes up after the server: Ready is tried again until it
    // answers, without a line per try.
    auto sdk = sidecar(2500);
    ASSERT_TRUE(sdk->ok());
    auto server = startWithSdk(*sdk);
    ASSERT_TRUE(server);
    ASSERT_TRUE(server->waitForLine(Stream::Out, "Agones SDK on port " + std::to_string(sdk->port()) + ": ready."));
    ASSERT_EQ(waitForCall(*sdk, "POST /ready"), 0);
    EXPECT_LE(sdk->arrivals()[0] - sdk->listeningSince(), 1500ms);
    const std::string ready = sdk->requests()[0];
    for (const char* part : {"Host: localhost\r\n", "Content-Type: application/json\r\n", "Content-Length: 2\r\n"})
        EXPECT_NE(ready.find(part), std::string::npos) << part << " missing in " << ready;
    EXPECT_EQ(ready.substr(ready.size() - 6), "\r\n\r\n{}");

    // Health every two seconds, the orchestrator allowing five.
    int h1 = waitForCall(*sdk, "POST /health");
    int h2 = waitForCall(*sdk, "POST /health", h1);
    int h3 = waitForCall(*sdk, "POST /health", h2);
    ASSERT_GE(h3, 0);
    auto at = sdk->arrivals();
    for (auto [a, b] : {std::pair{h1, h2}, std::pair{h2, h3}}) {
        EXPECT_GE(at[b] - at[a], 1500ms);
        EXPECT_LE(at[b] - at[a], 3500ms);
    }

    // Allocated from the first login until the last player has left, and
    // only then ready again.
    auto alice = join(*server, "alice", {});
    ASSERT_GE(waitForCall(*sdk, "POST /allocate"), 0);
    auto bob = join(*server, "bob", {alice.get()});
    alice.reset();
    ASSERT_TRUE(server->waitForLine(Stream::Out, "Client ID 1 disconnected"));
    bob.reset();
    ASSERT_GE(waitForCall(*sdk, "POST /ready", 0), 0);

    server->type("exit");
    EXPECT_EQ(server->waitForExit(), 0);
    EXPECT_EQ(calls(*sdk), (std::vector<std::string>{"POST /ready", "GET /gameserver", "POST /allocate", "POST /ready",
                                                      "POST /shutdown"}));
    EXPECT_EQ(calls(*sdk, true).back(), "POST /shutdown");
    for (const auto& line : server->lines(Stream::Out))
        EXPECT_EQ(line.find("cannot be reached"), std::string::npos) << line;
}

TEST(e2eAgones, AStuckNetworkLoopStopsTheHealthPingsAndTheStopStillShutsDown) {
    if (serverIsWindows()) GTEST_SKIP() << "the fault builds are Linux programs";
    auto sdk = sidecar();
    ASSERT_TRUE(sdk->ok());
    auto server = startWithSdk(*sdk, {std::string(GAMESERVER_FAULTY_DIR) + "/gameserver_stall"});
    ASSERT_TRUE(server);
    ASSERT_GE(waitForCall(*sdk, "POST /health"), 0);

    Client staller(server->port());
    staller.send(pkt::hello("stall"));
    ASSERT_TRUE(server->waitForLine(Stream::Out, "Player \"stall\" connected."));
    auto stuckSince = driver::Clock::now();
    // A loop seen within the last second still counts as running, so a ping
    // may go soon after; none later, for well over the orchestrator's three
    // missed periods.
    int last = static_cast<int>(sdk->requests().size()) - 1;
    for (int next; (next = sdk->waitForRequest("POST /health ", static_cast<std::size_t>(last) + 1, 7000)) >= 0;) {
        ASSERT_LT(sdk->arrivals()[static_cast<std::size_t>(next)] - stuckSince, 2500ms) << "pinged while stuck";
        last = next;
    }

    server->type("exit");
    EXPECT_GE(waitForCall(*sdk, "POST /shutdown"), 0);
}

TEST(e2eAgones, AnUpgradeInPlaceLeavesAnOccupiedLobbyAllocated) {
    if (serverIsWindows()) GTEST_SKIP() << "the upgrade in place is there on Linux only";
    auto sdk = sidecar();
    ASSERT_TRUE(sdk->ok());
    ProgramCopy program;
    auto server = startWithSdk(*sdk, program.command());
    ASSERT_TRUE(server);
    ASSERT_GE(waitForCall(*sdk, "POST /health"), 0);
    auto alice = join(*server, "alice", {});
    int allocated = waitForCall(*sdk, "POST /allocate");
    ASSERT_GE(allocated, 0);

    program.install();
    server->signal(SIGUSR2);
    ASSERT_TRUE(upgraded(*server, program));
    // The new program takes the SDK up with the player on: allocated at
    // once, never ready in between, and healthy.
    int again = waitForCall(*sdk, "POST /allocate", allocated);
    ASSERT_GE(again, 0);
    EXPECT_GE(waitForCall(*sdk, "POST /health", again), 0);
    server->type("exit");
    EXPECT_EQ(server->waitForExit(), 0);
    EXPECT_EQ(calls(*sdk), (std::vector<std::string>{"POST /ready", "GET /gameserver", "POST /allocate",
                                                      "POST /allocate", "GET /gameserver", "POST /shutdown"}));
}

}  // namespace
}  // namespace e2e
