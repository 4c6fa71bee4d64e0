// A stand-in for the internet server list's web site, on loopback: it serves
// a root page, answers add and delete requests, and records every request as
// it arrived, byte for byte, and when. It stands in for the orchestrator's
// SDK sidecar as well: every other request is answered 200, and a sidecar
// that starts after the game server refuses connections for a while.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/network/socket.h"

class FakeListServer {
public:
    enum class Mode {
        Normal,      // answers every request
        Silent,      // reads the request, never answers, keeps the connection open
        EndlessPage  // the root page never ends: bytes keep coming
    };

    using Clock = std::chrono::steady_clock;

    // port 0 takes a free port. ok() tells whether it has the port; it
    // refuses connections for refuseMs, then listens.
    explicit FakeListServer(int port = 0, int refuseMs = 0);
    ~FakeListServer();

    bool ok() const { return listener_ != kInvalidSocket; }
    int port() const { return port_; }

    void setMode(Mode mode) { mode_ = mode; }
    // The root page's answer, sent in chunks of chunkSize bytes (0: at once).
    void setRootPage(const std::string& answer, std::size_t chunkSize = 0);
    // Keeps the connection open after the root page, as a keep-alive web
    // server does: the reader has to notice the page's end by itself.
    void setHoldAfterPage(bool hold) { holdAfterPage_ = hold; }

    // The answer, whole, to requests that start with requestStart
    // ("GET /gameserver ").
    void setAnswer(const std::string& requestStart, const std::string& answer);

    std::vector<std::string> requests();
    std::vector<Clock::time_point> arrivals();
    // When it began to listen; the far future before.
    Clock::time_point listeningSince();
    // Waits until at least n requests have arrived.
    bool waitForRequests(std::size_t n, int timeoutMs);
    // Waits for a request that starts with requestStart, after the first
    // `after` ones; its index, or -1 at the time-out.
    int waitForRequest(const std::string& requestStart, std::size_t after, int timeoutMs);

private:
    void serve(int refuseMs);
    void handle(Socket s);

    Socket listener_ = kInvalidSocket;
    int port_ = 0;
    std::atomic<Mode> mode_{Mode::Normal};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> holdAfterPage_{false};
    std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<std::string> requests_;
    std::vector<Clock::time_point> arrivals_;
    std::vector<std::pair<std::string, std::string>> answers_;
    Clock::time_point listeningSince_ = Clock::time_point::max();
    std::vector<Socket> held_;
    std::string rootPage_;
    std::size_t chunkSize_ = 0;
    std::thread thread_;
};

// A sidecar's answer to GET /gameserver: a game-server record whose default
// port is publicPort, named after another one.
std::string gameServerRecordAnswer(int publicPort);
