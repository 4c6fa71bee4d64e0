// What check_systemd.sh needs beside the packaged server, on the host's
// loopback:
//   service_peer ports N            prints N free ports, one a line
//   service_peer client PORT NAME [TEXT]...
//                                   logs NAME in, prints "logged in", then
//                                   waits for each TEXT in turn as a chat line
//                                   from the server and prints "chat: TEXT":
//                                   one connection throughout, so a text that
//                                   comes shows the session lasted; prints
//                                   "connection ended" if the server ends it
//   service_peer list               the stand-in list web site on port 80;
//                                   prints the first line of every request
// Each ends by itself within a minute (the list at SIGTERM; a client within a
// minute of the last text it got): exit code 0 when everything came, 1
// otherwise.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "fake_list_server.h"
#include "harness.h"

namespace {

constexpr auto kLimit = std::chrono::seconds(60);
volatile sig_atomic_t stopRequested = 0;

int ports(int n) {
    for (int i = 0; i < n; ++i) {
        int port = e2e::freePort();
        if (port == 0) return 1;
        std::printf("%d\n", port);
    }
    return 0;
}

int client(int port, const std::string& name, char** texts, int count) {
    e2e::Client c(port);
    if (!c.connected() || !c.send(e2e::pkt::hello(name), false)) return 1;
    e2e::Bytes reply = c.recvFrame(kLimit);
    // Packet 10 is the answer to the hello; its last byte, 0, the acceptance.
    if (reply.size() < 2 || reply[1] != 10 || reply.back() != 0) {
        std::printf("login answered with %s\n", e2e::pkt::hex(reply).c_str());
        return 1;
    }
    std::printf("logged in\n");
    std::fflush(stdout);
    for (int i = 0; i < count; ++i) {
        const e2e::Bytes wanted = e2e::pkt::chat(texts[i]);
        auto end = std::chrono::steady_clock::now() + kLimit;
        e2e::Bytes frame;
        bool came = false;
        while (!came && std::chrono::steady_clock::now() < end) {
            if (!c.nextFrame(frame, std::chrono::duration_cast<e2e::Ms>(end - std::chrono::steady_clock::now()))) break;
            came = frame == wanted;
        }
        if (!came) {
            if (c.closed()) std::printf("connection ended\n");
            return 1;
        }
        std::printf("chat: %s\n", texts[i]);
        std::fflush(stdout);
    }
    return 0;
}

int list() {
    // A test elsewhere on this machine that does not take the lock may still
    // hold the port for a moment.
    std::unique_ptr<FakeListServer> listening;
    for (int tries = 0; tries < 150 && !(listening && listening->ok()); ++tries) {
        if (tries > 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        listening = std::make_unique<FakeListServer>(80);
    }
    if (!listening->ok()) {
        std::printf("cannot listen on port 80\n");
        return 1;
    }
    FakeListServer& fake = *listening;
    signal(SIGTERM, [](int) { stopRequested = 1; });
    std::printf("listening\n");
    std::fflush(stdout);
    std::size_t printed = 0;
    auto end = std::chrono::steady_clock::now() + 5 * kLimit;
    while (!stopRequested && std::chrono::steady_clock::now() < end) {
        fake.waitForRequests(printed + 1, 100);
        auto requests = fake.requests();
        for (; printed < requests.size(); ++printed) {
            std::printf("%s\n", requests[printed].substr(0, requests[printed].find("\r\n")).c_str());
            std::fflush(stdout);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "ports" && argc == 3) return ports(std::atoi(argv[2]));
    if (mode == "client" && argc >= 4) return client(std::atoi(argv[2]), argv[3], argv + 4, argc - 4);
    if (mode == "list" && argc == 2) return list();
    std::fprintf(stderr, "usage: service_peer ports N | client PORT NAME [TEXT]... | list\n");
    return 2;
}
