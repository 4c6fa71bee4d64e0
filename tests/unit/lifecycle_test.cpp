// The network thread's start and stop.
#include <chrono>

#include "unit_support.h"

using namespace test;

// The stop waits for the network thread's end, and no longer: its bound is
// for a thread that is stuck.
TEST(Lifecycle, StopReturnsOnceTheNetworkThreadHasEnded) {
    OutputCapture output;
    GameServer* server = createServer("t", 0, 4);  // any free port
    startNetwork(*server);
    auto start = std::chrono::steady_clock::now();
    stopNetwork(*server);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    std::lock_guard<std::mutex> guard(server->stopLock);
    EXPECT_TRUE(server->networkDone);
}
