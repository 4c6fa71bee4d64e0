// A stand-in for the orchestrator's SDK sidecar, on loopback: answers 200
// "{}" to every POST and a game-server record to GET /gameserver, and records
// every call as it arrived. It can refuse connections for a while first, as
// a sidecar that starts after the game server does.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/network/socket.h"

class FakeSdk {
public:
    using Clock = std::chrono::steady_clock;
    struct Call {
        std::string method;  // "POST"
        std::string path;    // "/ready"
        std::string request;  // the whole request, as it came
        Clock::time_point at;
    };

    // Takes a free port at once and refuses connections on it for refuseMs,
    // then answers; the record gives publicPort as the default port.
    explicit FakeSdk(int refuseMs = 0, int publicPort = 7777);
    ~FakeSdk();

    bool ok() const { return listener_ != kInvalidSocket; }
    int port() const { return port_; }
    // When it started to answer; the far future before.
    Clock::time_point answeringSince();

    std::vector<Call> calls();
    // Waits until a call to path has arrived after the first `after` calls;
    // its index, or -1 at the time-out.
    int waitForCall(const std::string& path, std::size_t after, int timeoutMs);

private:
    void serve(int refuseMs);
    void handle(Socket s);

    Socket listener_ = kInvalidSocket;
    int port_ = 0;
    std::string record_;
    std::atomic<bool> stopping_{false};
    std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<Call> calls_;
    Clock::time_point answeringSince_ = Clock::time_point::max();
    std::thread thread_;
};
