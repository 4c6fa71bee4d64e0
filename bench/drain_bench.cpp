// The draining stop under load: the real server binary, with
// GAMESERVER_DRAIN_SECONDS set and its list host pointed at a stand-in list
// on this machine's port 80, serves N players who each send numbered Relay6
// frames at a fixed rate to all the others. After a warm-up the server gets
// SIGTERM; the players play on for a while, then stop sending and leave one
// after the other. Prints the time from the signal to the list's delete
// request, the frames lost and out of order (every player checks that it got
// every other player's frames, each once and in order, up to the end of the
// sending), the drain's console lines and how the server ended. Figures only;
// nothing here passes or fails.
//
// Usage: drain_bench SERVER_BINARY [players=63] [rate=60]
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "fake_list_server.h"
#include "leftovers.h"
#include "players.h"
#include "process.h"
#include "timing.h"

namespace {

using namespace std::chrono_literals;
using driver::Clock;
using driver::nowNs;

constexpr auto kWarmUp = 2s;
constexpr auto kPlayOn = 3s;

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: drain_bench SERVER_BINARY [players=63] [rate=60]\n");
        return 2;
    }
    const std::string binary = argv[1];
    const int players = argc > 2 ? std::atoi(argv[2]) : 63;
    const int rate = argc > 3 ? std::atoi(argv[3]) : 60;
    if (players < 2 || players > 63 || rate < 1 || rate > 1000) {
        std::fprintf(stderr, "usage: drain_bench SERVER_BINARY [players 2..63] [rate 1..1000]\n");
        return 2;
    }
    clearOnStopSignals();
    FakeListServer list(80);
    if (!list.ok()) {
        std::printf("drain: port 80 is taken, where the stand-in list must listen: no figures\n");
        return 0;
    }

    std::atomic<long long> drainLineNs{0}, emptyLineNs{0};
    std::atomic<int> leftLines{0};
    driver::Process::Options options;
    options.endsWithUs = true;
    options.environment = {"GAMESERVER_DRAIN_SECONDS=600", "GAMESERVER_MASTER_HOST=127.0.0.1"};
    options.onOut = [&](const std::string* line, long long at) {
        if (!line) return;
        if (line->rfind("Draining: ", 0) != 0) return;
        if (drainLineNs.load() == 0) drainLineNs = at;
        else if (*line == "Draining: the lobby is empty.") emptyLineNs = at;
        else ++leftLines;
    };
    std::string failure;
    int port = 0;
    auto server = driver::startListening<driver::Process>(
        [&](int p) {
            port = p;
            return std::make_unique<driver::Process>(
                std::vector<std::string>{binary, "-port", std::to_string(p), "-maxplayers", "63"}, options);
        },
        failure);
    if (!server) fail(failure);
    leaveServer(server->pid());
    if (!list.waitForRequests(2, 15000)) fail("the server did not announce itself on the stand-in list");

    Receipts receipts(static_cast<std::size_t>(rate) * 60);
    Load load(players, rate, receipts);
    load.logIn(port);
    std::this_thread::sleep_for(200ms);
    load.startSending();
    std::this_thread::sleep_for(kWarmUp);

    const long long signalNs = nowNs();
    server->signal(SIGTERM);
    long long deleteNs = 0;
    if (list.waitForRequests(3, 10000)) deleteNs = nowNs();
    std::this_thread::sleep_until(Clock::now() + kPlayOn);
    const long expected = load.stop(5s);
    const long long leaveNs = nowNs();
    load.closeConnections();
    const bool ended = server->waitForExit(15s).has_value();
    const long long endNs = nowNs();
    leaveServer(-1);
    const int status = server->waitStatus();

    std::printf("drain: %d players, %d frames/s each, SIGTERM after %lld s, play on for %lld s\n", players, rate,
                static_cast<long long>(kWarmUp.count()), static_cast<long long>(kPlayOn.count()));
    if (deleteNs != 0)
        std::printf("SIGTERM to the list's delete request: %.1f ms\n", static_cast<double>(deleteNs - signalNs) / 1e6);
    else
        std::printf("SIGTERM to the list's delete request: none came within 10 s\n");
    if (drainLineNs.load() != 0)
        std::printf("SIGTERM to the console's drain line: %.1f ms\n",
                    static_cast<double>(drainLineNs.load() - signalNs) / 1e6);
    std::printf("frames: %ld of %ld received, %ld lost, %ld out of order, %ld repeated\n", receipts.distinct.load(),
                expected, expected - receipts.distinct.load(), receipts.outOfOrder, receipts.repeated);
    std::printf("departures told on the console: %d of %d\n", leftLines.load(), players - 1);
    if (ended)
        std::printf("last player gone to the server's end: %.1f ms, exit status %d%s\n",
                    static_cast<double>(endNs - leaveNs) / 1e6, WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                    emptyLineNs.load() != 0 ? ", after \"Draining: the lobby is empty.\"" : "");
    else
        std::printf("the server had not ended 15 s after the last player left\n");
    std::fflush(stdout);
    if (!ended) server->finish();
    return 0;
}
