// Relay latency and loss under load: N players on loopback, each sending
// stream frames at a fixed rate to all others, who opted in. Prints the
// latency from send to receipt (median, 99th percentile, worst), how many
// frames were lost, and the CPU time the server's network thread spent per
// relayed frame while the traffic ran. Figures only; nothing here passes or
// fails.
//
// With "scrape", the same run measures twice: first as above, then with a
// scraper asking the health and metrics endpoint for /metrics ten times a
// second, so that what a scrape costs the players shows beside the noise.
//
// Usage: relay_bench [players=8] [frames per second=60] [seconds=5] [scrape]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "client.h"
#include "packets.h"
#include "process.h"
#include "timing.h"
// The server runs in this process, its network thread on a thread of the
// bench's, so that the thread's CPU clock can be read.
#include "monitoring/http_endpoint.h"
#include "platform/network/socket.h"
#include "platform/process/thread_cpu_time.h"
#include "server/lifecycle.h"
#include "streams/output.h"

namespace {

namespace pkt = driver::pkt;
using driver::Clock;
using driver::nowNs;
using driver::percentile;

std::atomic<long> gDrops{0};

struct Player {
    std::unique_ptr<driver::Client> client;
    std::atomic<bool> joined{false};
    std::vector<long long> latencies;  // receiver thread only until the end
    long received = 0;
};

void receive(Player& p, std::atomic<bool>& running) {
    driver::Bytes f;
    while (running) {
        if (!p.client->nextFrame(f, std::chrono::milliseconds(100))) {
            if (p.client->closed()) return;
            continue;
        }
        if (f[1] == pkt::kHelloReply) p.joined = true;
        if (f[1] == pkt::kStreamRelay0) {
            long long sent;
            std::memcpy(&sent, &f[2], sizeof sent);
            p.latencies.push_back(nowNs() - sent);
            ++p.received;
        }
    }
}

// Asks /metrics every 100 ms until told to stop; counts the answers that
// came whole and notes how long each took.
struct Scraper {
    std::atomic<bool> running{true};
    long answers = 0, failures = 0;
    std::vector<long long> takesNs;
    std::thread thread;

    void start(int port) {
        thread = std::thread([this, port] {
            auto next = Clock::now();
            while (running) {
                long long t = nowNs();
                driver::Client c(port);
                const std::string request = "GET /metrics HTTP/1.1\r\nHost: bench\r\n\r\n";
                bool ok = c.connected() && c.send(driver::Bytes(request.begin(), request.end())) &&
                          c.waitForClose(std::chrono::milliseconds(2000));
                if (ok) {
                    ++answers;
                    takesNs.push_back(nowNs() - t);
                } else {
                    ++failures;
                }
                next += std::chrono::milliseconds(100);
                std::this_thread::sleep_until(next);
            }
        });
    }
    void stop() {
        running = false;
        if (thread.joinable()) thread.join();
    }
};

}  // namespace

int main(int argc, char** argv) {
    int players = argc > 1 ? std::atoi(argv[1]) : 8;
    int rate = argc > 2 ? std::atoi(argv[2]) : 60;
    int seconds = argc > 3 ? std::atoi(argv[3]) : 5;
    const bool scrape = argc > 4 && std::strcmp(argv[4], "scrape") == 0;
    if (players < 2 || players > 63 || rate < 1 || seconds < 1 || (argc > 4 && !scrape)) {
        std::fprintf(stderr, "usage: relay_bench [players 2..63] [frames per second] [seconds] [scrape]\n");
        return 2;
    }
    // The server's own lines are not part of the figures; drops are counted.
    setOutputSink(
        [](Stream, const char* text, std::size_t, void*) {
            if (std::strncmp(text, "Send buffer to small", 20) == 0) ++gDrops;
        },
        nullptr);

    const int port = driver::freePort();
    GameServer* server = createServer("bench", port, 63);
    // As startNetwork, but on a thread of ours, so that its CPU clock can be
    // read.
    if (!netWakerOpen(server->waker)) {
        std::fprintf(stderr, "cannot open the wake-up channel\n");
        return 1;
    }
    std::thread network([server] { networkThread(*server); });
    const int httpPort = driver::freePort();
    if (scrape && !startHttpEndpoint(*server, ("127.0.0.1:" + std::to_string(httpPort)).c_str())) {
        std::fprintf(stderr, "cannot open the health and metrics endpoint\n");
        return 1;
    }

    std::vector<Player> all(static_cast<std::size_t>(players));
    std::atomic<bool> running{true};
    std::vector<std::thread> receivers;
    for (auto& p : all) {
        // The network thread opens its listener once it runs.
        for (int attempt = 0; attempt < 100 && !(p.client && p.client->connected()); ++attempt) {
            if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            p.client = std::make_unique<driver::Client>(port);
        }
        if (!p.client->connected()) {
            std::fprintf(stderr, "cannot connect to the server: %s\n", p.client->error().c_str());
            return 1;
        }
        p.client->send(pkt::hello("p" + std::to_string(receivers.size())));
        receivers.emplace_back(receive, std::ref(p), std::ref(running));
        while (!p.joined) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        p.client->send(pkt::byteValue(pkt::kStreamOptIn, 1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    // One measurement: every player sends for the given time; the figures
    // are printed under the title.
    auto measure = [&](const char* title) {
        for (auto& p : all) {
            p.latencies.clear();
            p.received = 0;
        }
        gDrops = 0;
        long sent = 0;
        auto tick = std::chrono::nanoseconds(1000000000LL / rate);
        auto next = Clock::now();
        auto end = next + std::chrono::seconds(seconds);
        long long cpuStart = threadCpuNs(network);
        driver::Bytes frame = pkt::frame(pkt::kStreamRelay0);
        while (Clock::now() < end) {
            for (auto& p : all) {  // every player in the same instant
                long long t = nowNs();
                std::memcpy(&frame[2], &t, sizeof t);
                if (p.client->send(frame)) ++sent;
            }
            next += tick;
            std::this_thread::sleep_until(next);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        long long cpuUsed = threadCpuNs(network) - cpuStart;

        std::vector<long long> lat;
        long received = 0;
        for (auto& p : all) {
            lat.insert(lat.end(), p.latencies.begin(), p.latencies.end());
            received += p.received;
        }
        long expected = sent * (players - 1);
        std::printf("players %d, %d frames/s each, %d s%s\n", players, rate, seconds, title);
        std::printf("relayed frames: %ld of %ld (%.2f%% lost), drop messages: %ld\n", received, expected,
                    expected ? 100.0 * static_cast<double>(expected - received) / static_cast<double>(expected) : 0.0,
                    gDrops.load());
        std::printf("latency us: median %.1f, p99 %.1f, worst %.1f\n",
                    static_cast<double>(percentile(lat, 0.5)) / 1000, static_cast<double>(percentile(lat, 0.99)) / 1000,
                    static_cast<double>(percentile(lat, 1.0)) / 1000);
        if (cpuStart >= 0 && received > 0)
            std::printf("server CPU: %.0f ms, %.2f us per relayed frame\n", static_cast<double>(cpuUsed) / 1e6,
                        static_cast<double>(cpuUsed) / 1000 / static_cast<double>(received));
    };

    measure("");
    if (scrape) {
        Scraper scraper;
        scraper.start(httpPort);
        measure(", /metrics scraped 10 times a second");
        scraper.stop();
        std::printf("scrapes: %ld answered, %ld failed; answer within: median %.1f us, worst %.1f us\n",
                    scraper.answers, scraper.failures,
                    static_cast<double>(percentile(scraper.takesNs, 0.5)) / 1000,
                    static_cast<double>(percentile(scraper.takesNs, 1.0)) / 1000);
    }
    running = false;
    for (auto& p : all) p.client->shutdownSend();
    for (auto& t : receivers) t.join();
    std::fflush(stdout);
    std::_Exit(0);
}
