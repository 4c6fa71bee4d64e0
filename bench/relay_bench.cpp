// Relay latency and loss under load: N players on loopback, each sending
// stream frames at a fixed rate to all others, who opted in. Prints the
// latency from send to receipt (median, 99th percentile, worst), how many
// frames were lost, and the CPU time the server's network thread spent per
// relayed frame while the traffic ran. Figures only; nothing here passes or
// fails.
//
// Usage: relay_bench [players=8] [frames per second=60] [seconds=5]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/network/socket.h"
#include "platform/process/thread_cpu_time.h"
#include "server/lifecycle.h"
#include "server/protocol/packets.h"
#include "streams/output.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<long> gDrops{0};

long long nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

struct Player {
    Socket sock = kInvalidSocket;
    std::atomic<bool> joined{false};
    std::vector<long long> latencies;  // receiver thread only until the end
    long received = 0;
};

void receive(Player& p, std::atomic<bool>& running) {
    std::vector<std::uint8_t> buf;
    std::uint8_t chunk[4096];
    while (running) {
        int n = netRecv(p.sock, chunk, sizeof chunk);
        if (n <= 0) return;
        buf.insert(buf.end(), chunk, chunk + n);
        std::size_t at = 0;
        while (buf.size() - at >= 2) {
            std::uint8_t id = buf[at + 1];
            std::size_t len = id < 22 ? 1u + PacketLengthTable[id] : 2u;
            if (buf.size() - at < len) break;
            if (id == 10) p.joined = true;
            if (id == 0) {
                long long sent;
                std::memcpy(&sent, &buf[at + 2], sizeof sent);
                p.latencies.push_back(nowNs() - sent);
                ++p.received;
            }
            at += len;
        }
        buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(at));
    }
}

long long percentile(std::vector<long long>& v, double q) {
    if (v.empty()) return 0;
    std::size_t i = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(i), v.end());
    return v[i];
}

}  // namespace

int main(int argc, char** argv) {
    int players = argc > 1 ? std::atoi(argv[1]) : 8;
    int rate = argc > 2 ? std::atoi(argv[2]) : 60;
    int seconds = argc > 3 ? std::atoi(argv[3]) : 5;
    if (players < 2 || players > 63 || rate < 1 || seconds < 1) {
        std::fprintf(stderr, "usage: relay_bench [players 2..63] [frames per second] [seconds]\n");
        return 2;
    }
    // The server's own lines are not part of the figures; drops are counted.
    setOutputSink(
        [](Stream, const char* text, std::size_t, void*) {
            if (std::strncmp(text, "Send buffer to small", 20) == 0) ++gDrops;
        },
        nullptr);

    Socket probe = netTcpSocket();
    netBindAny(probe, 0);
    int port = netLocalPort(probe);
    netClose(probe);
    GameServer* server = createServer("bench", port, 63);
    // As startNetwork, but on a thread of ours, so that its CPU clock can be
    // read.
    if (!netWakerOpen(server->waker)) {
        std::fprintf(stderr, "cannot open the wake-up channel\n");
        return 1;
    }
    std::thread network([server] { networkThread(*server); });

    Ipv4Address loopback{{127, 0, 0, 1}};
    std::vector<Player> all(static_cast<std::size_t>(players));
    std::atomic<bool> running{true};
    std::vector<std::thread> receivers;
    for (auto& p : all) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            p.sock = netTcpSocket();
            if (netConnect(p.sock, loopback, static_cast<std::uint16_t>(port), 1000) == 0) break;
            netClose(p.sock);
            p.sock = kInvalidSocket;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (p.sock == kInvalidSocket) {
            std::fprintf(stderr, "cannot connect to the server\n");
            return 1;
        }
        netSetNoDelay(p.sock);
        std::uint8_t hello[134] = {0, 5};
        float version = 0.9f;
        std::memcpy(hello + 2, &version, 4);
        std::snprintf(reinterpret_cast<char*>(hello + 6), 64, "p%zu", receivers.size());
        netSend(p.sock, hello, sizeof hello);
        receivers.emplace_back(receive, std::ref(p), std::ref(running));
        while (!p.joined) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::uint8_t optIn[3] = {0, 21, 1};
        netSend(p.sock, optIn, sizeof optIn);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    long sent = 0;
    auto tick = std::chrono::nanoseconds(1000000000LL / rate);
    auto next = Clock::now();
    auto end = next + std::chrono::seconds(seconds);
    long long cpuStart = threadCpuNs(network);
    std::uint8_t frame[30] = {0, 0};
    while (Clock::now() < end) {
        for (auto& p : all) {  // every player in the same instant
            long long t = nowNs();
            std::memcpy(frame + 2, &t, sizeof t);
            if (netSend(p.sock, frame, sizeof frame) == sizeof frame) ++sent;
        }
        next += tick;
        std::this_thread::sleep_until(next);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    long long cpuUsed = threadCpuNs(network) - cpuStart;
    running = false;
    for (auto& p : all) netShutdownSend(p.sock);
    for (auto& t : receivers) t.join();

    std::vector<long long> lat;
    long received = 0;
    for (auto& p : all) {
        lat.insert(lat.end(), p.latencies.begin(), p.latencies.end());
        received += p.received;
    }
    long expected = sent * (players - 1);
    std::printf("players %d, %d frames/s each, %d s\n", players, rate, seconds);
    std::printf("relayed frames: %ld of %ld (%.2f%% lost), drop messages: %ld\n", received, expected,
                expected ? 100.0 * static_cast<double>(expected - received) / static_cast<double>(expected) : 0.0,
                gDrops.load());
    std::printf("latency us: median %.1f, p99 %.1f, worst %.1f\n", static_cast<double>(percentile(lat, 0.5)) / 1000,
                static_cast<double>(percentile(lat, 0.99)) / 1000, static_cast<double>(percentile(lat, 1.0)) / 1000);
    if (cpuStart >= 0 && received > 0)
        std::printf("server CPU: %.0f ms, %.2f us per relayed frame\n", static_cast<double>(cpuUsed) / 1e6,
                    static_cast<double>(cpuUsed) / 1000 / static_cast<double>(received));
    std::fflush(stdout);
    std::_Exit(0);
}
