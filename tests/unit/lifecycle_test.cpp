// The network thread's start and stop.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "unit_support.h"

using namespace test;

namespace {

// A connection to the server's port, once its listener is up (a fresh socket
// for each try: one whose connect failed is not reliably reusable).
Socket connectOnceListening(int port) {
    for (int attempt = 0; attempt < 500; ++attempt) {
        Socket s = netTcpSocket();
        if (netConnect(s, Ipv4Address{{127, 0, 0, 1}}, static_cast<std::uint16_t>(port), 5000) == 0) return s;
        netClose(s);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return kInvalidSocket;
}

}  // namespace

// The stop waits while the network thread is still closing the clients, and
// returns once it has ended, well within its bound for a thread that is stuck.
TEST(Lifecycle, StopWaitsForTheNetworkThreadAndNoLonger) {
    OutputCapture output;
    Socket probe = netTcpSocket();
    ASSERT_EQ(netBindAny(probe, 0), 0);
    int port = netLocalPort(probe);
    netClose(probe);
    GameServer* server = createServer("t", port, 4);
    // The network thread as startNetwork starts it, but joined at the end:
    // a thread still ending while the test's process ends may crash it.
    ASSERT_TRUE(netWakerOpen(server->waker));
    std::thread network([server] { networkThread(*server); });
    Socket player = connectOnceListening(port);
    EXPECT_NE(player, kInvalidSocket);

    // Held, the table lock keeps the network thread from its next pass.
    std::unique_lock<std::mutex> table(server->tableLock);
    for (int i = 0; i < 5000 && player != kInvalidSocket && clientCount(*server) == 0; ++i) {
        table.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        table.lock();
    }
    EXPECT_EQ(clientCount(*server), 1u);
    auto stop = std::async(std::launch::async, [server] { stopNetwork(*server); });
    EXPECT_EQ(stop.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    table.unlock();
    EXPECT_EQ(stop.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    stop.wait();
    {
        std::lock_guard<std::mutex> guard(server->stopLock);
        EXPECT_TRUE(server->networkDone);
    }
    EXPECT_TRUE(readsEnd(player));
    netClose(player);
    network.join();
}

// A server that took over: its network thread tells the caller before its
// first pass, and that pass carries out a kick that came with the clients,
// though no client has anything to say.
TEST(Lifecycle, AResumedServerCarriesOutAKickItTookOverAtOnce) {
    OutputCapture output;
    GameServer* server = createServer("t", 0, 4);
    server->listenSocket = netTcpSocket();
    ASSERT_EQ(netBindAny(server->listenSocket, 0), 0);
    netListen(server->listenSocket);
    auto [mine, far] = tcpPair();
    netSetNonBlocking(mine, true);
    ClientConnection* kicked = appendClient(*server, mine, allocateClientId(*server));
    kicked->authenticated = 1;
    kicked->kickRequested = 1;
    ASSERT_TRUE(netWakerOpen(server->waker));
    std::atomic<int> told{0};
    std::thread network([server, &told] {
        networkThread(*server, [](void* count) { ++*static_cast<std::atomic<int>*>(count); }, &told);
    });
    Bytes notice = readFrame(far);
    EXPECT_EQ(told.load(), 1);
    notice.resize(kChatTextLength + 1);  // the thread is stopped and joined below, whatever came
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&notice[2])), "You were kicked");
    EXPECT_TRUE(readsEnd(far));
    stopNetwork(*server);
    network.join();
    netClose(far);
}
