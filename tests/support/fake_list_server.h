// A stand-in for the internet server list's web site, on loopback: it serves
// a root page, answers add and delete requests, and records every request as
// it arrived, byte for byte.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/network/socket.h"

class FakeListServer {
public:
    enum class Mode {
        Normal,      // answers every request
        Silent,      // reads the request, never answers, keeps the connection open
        EndlessPage  // the root page never ends: bytes keep coming
    };

    // port 0 takes a free port. ok() tells whether it is listening.
    explicit FakeListServer(int port = 0);
    ~FakeListServer();

    bool ok() const { return listener_ != kInvalidSocket; }
    int port() const { return port_; }

    void setMode(Mode mode) { mode_ = mode; }
    // The root page's answer, sent in chunks of chunkSize bytes (0: at once).
    void setRootPage(const std::string& answer, std::size_t chunkSize = 0);
    // Keeps the connection open after the root page, as a keep-alive web
    // server does: the reader has to notice the page's end by itself.
    void setHoldAfterPage(bool hold) { holdAfterPage_ = hold; }

    std::vector<std::string> requests();
    // Waits until at least n requests have arrived.
    bool waitForRequests(std::size_t n, int timeoutMs);

private:
    void serve();
    void handle(Socket s);

    Socket listener_ = kInvalidSocket;
    int port_ = 0;
    std::atomic<Mode> mode_{Mode::Normal};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> holdAfterPage_{false};
    std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<std::string> requests_;
    std::vector<Socket> held_;
    std::string rootPage_;
    std::size_t chunkSize_ = 0;
    std::thread thread_;
};
