// The health and metrics endpoint, spoken to over HTTP while players play.
#include <signal.h>

#include <algorithm>
#include <string>

#include "harness.h"

namespace e2e {
namespace {

const std::string kEndpointLine = "Health and metrics on http://127.0.0.1:";

// A server with the endpoint on a port the system chooses, and that port.
struct Served {
    std::unique_ptr<Server> server;
    int httpPort = 0;
};

Served startServed(const std::vector<std::string>& extra = {}, const std::vector<std::string>& command = {}) {
    Served s;
    s.server = Server::start(extra, command, {"GAMESERVER_HTTP_ADDRESS=127.0.0.1:0"});
    if (!s.server) return s;
    // The endpoint opens beside the game's listener, in either order.
    std::optional<std::string> line;
    for (const auto& l : s.server->lines(Stream::Out))
        if (l.rfind(kEndpointLine, 0) == 0) line = l;
    if (!line) line = s.server->waitForLineStartingWith(Stream::Out, kEndpointLine);
    if (!line) {
        ADD_FAILURE() << "no endpoint line";
        return s;
    }
    s.httpPort = std::stoi(line->substr(kEndpointLine.size()));
    return s;
}

struct Answer {
    int status = 0;
    std::string head;  // the status line and headers, each with its CRLF
    std::string body;
    bool closed = false;
};

// Sends the bytes and reads the answer up to the endpoint's close.
Answer httpExchange(int port, const std::string& request) {
    Client c(port);
    c.send(Bytes(request.begin(), request.end()), false);
    Answer a;
    a.closed = c.waitForClose();
    Bytes got = c.recvExactly(1 << 20, 0ms);
    std::string text(got.begin(), got.end());
    auto end = text.find("\r\n\r\n");
    if (text.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return a;
    a.status = std::stoi(text.substr(9, 3));
    a.head = text.substr(0, end + 2);
    a.body = text.substr(end + 4);
    return a;
}

Answer get(int port, const std::string& path, const std::string& method = "GET") {
    return httpExchange(port, method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: e2e\r\n\r\n");
}

bool hasHeader(const Answer& a, const std::string& header) {
    return a.head.find("\r\n" + header + "\r\n") != std::string::npos;
}

// The page until it holds the line (a player's count follows the network
// thread's next pass), or the last page read.
std::string metricsWith(int port, const std::string& line) {
    auto end = driver::Clock::now() + kWait;
    std::string page;
    do {
        page = get(port, "/metrics").body;
        if (page.find("\n" + line + "\n") != std::string::npos) return page;
        std::this_thread::sleep_for(20ms);
    } while (driver::Clock::now() < end);
    ADD_FAILURE() << "no line \"" << line << "\" in:\n" << page;
    return page;
}

TEST(e2eHttpEndpoint, MetricsCountPlayersAndRefusedLoginsAndProbesAnswer) {
    auto s = startServed({"-maxplayers", "5"});
    ASSERT_TRUE(s.server && s.httpPort);
    auto alice = join(*s.server, "alice", {});
    Client bob(s.server->port());
    bob.send(pkt::hello("bob", "secret"));
    EXPECT_TRUE(bob.waitForClose());

    metricsWith(s.httpPort, "gameserver_logins_total{result=\"password\"} 1");
    // Bob sees his connection end a moment before the server counts it gone.
    metricsWith(s.httpPort, "gameserver_connections 1");
    Answer a = get(s.httpPort, "/metrics?from=e2e");
    EXPECT_EQ(a.status, 200);
    EXPECT_TRUE(a.closed);
    EXPECT_TRUE(hasHeader(a, "Content-Type: text/plain; version=0.0.4; charset=utf-8")) << a.head;
    EXPECT_TRUE(hasHeader(a, "Connection: close")) << a.head;
    EXPECT_TRUE(hasHeader(a, "Content-Length: " + std::to_string(a.body.size()))) << a.head;
    for (const char* line :
         {"gameserver_players 1", "gameserver_connections 1", "gameserver_max_players 5",
          "gameserver_logins_total{result=\"accepted\"} 1", "gameserver_logins_total{result=\"password\"} 1",
          "gameserver_disconnects_total{cause=\"refused\"} 1", "gameserver_connections_accepted_total 2",
          "gameserver_draining 0", "gameserver_info{release=\"" GAMESERVER_RELEASE "\"} 1"})
        EXPECT_NE(a.body.find(std::string("\n") + line + "\n"), std::string::npos) << line;
    // Every metric says what it is before its samples.
    for (const char* name :
         {"gameserver_players gauge", "gameserver_logins_total counter", "gameserver_disconnects_total counter",
          "gameserver_received_bytes_total counter", "gameserver_list_requests_total counter",
          "gameserver_upgrades_total counter", "gameserver_console_lines_dropped_total counter",
          "gameserver_drain_remaining_seconds gauge", "process_start_time_seconds gauge",
          "process_cpu_seconds_total counter"}) {
        std::string n(name);
        std::string metric = n.substr(0, n.find(' '));
        auto help = a.body.find("# HELP " + metric + " ");
        auto type = a.body.find("# TYPE " + n + "\n");
        auto sample = a.body.find("\n" + metric, type + 1);
        EXPECT_TRUE(help != std::string::npos && type != std::string::npos && help < type &&
                    sample != std::string::npos && a.body.find("\n# ", type + 1) > sample)
            << name;
    }
    if (!serverIsWindows()) {
        for (const char* metric : {"process_resident_memory_bytes", "process_open_fds", "process_max_fds"})
            EXPECT_NE(a.body.find(std::string("\n") + metric + " "), std::string::npos) << metric;
    }

    Answer head = get(s.httpPort, "/metrics", "HEAD");
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.body.empty());
    EXPECT_TRUE(hasHeader(head, "Content-Type: text/plain; version=0.0.4; charset=utf-8")) << head.head;

    for (const char* path : {"/livez", "/readyz"}) {
        Answer probe = get(s.httpPort, path);
        EXPECT_EQ(probe.status, 200) << path;
        EXPECT_EQ(probe.body, "ok\n") << path;
    }
}

// The image's health check: its exit status and its one line of why.
TEST(e2eHttpEndpoint, TheProbeExitsByTheAnswer) {
    auto s = startServed();
    ASSERT_TRUE(s.server && s.httpPort);
    std::string port = std::to_string(s.httpPort);
    struct Case {
        std::string address, path;
        int exit;
        std::string why;
    };
    const Case cases[] = {
        {"0.0.0.0:" + port, "", 0, ""},
        {"127.0.0.1:" + port, "/readyz", 0, ""},
        {"localhost:" + port, "/nope", 1, "gameserver-probe: answered HTTP/1.1 404 Not Found"},
        {"127.0.0.1:" + std::to_string(freePort()), "/livez", 1, "gameserver-probe: cannot connect to 127.0.0.1:"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args;
        if (!c.path.empty()) args.push_back(c.path);
        Process probe(args, {GAMESERVER_PROBE}, {"GAMESERVER_HTTP_ADDRESS=" + c.address});
        EXPECT_EQ(probe.waitForExit(), c.exit) << c.address << c.path;
        auto err = probe.lines(Stream::Err);
        if (c.why.empty())
            EXPECT_TRUE(err.empty()) << c.address << c.path;
        else
            EXPECT_TRUE(err.size() == 1 && err[0].rfind(c.why, 0) == 0)
                << c.why << " / " << (err.empty() ? "" : err[0]);
    }
}

TEST(e2eHttpEndpoint, WhatItDoesNotServeIsRefusedWithItsReason) {
    auto s = startServed();
    ASSERT_TRUE(s.server && s.httpPort);
    for (const char* path : {"/", "/metricsx", "/metrics/", "/livez/", "/Metrics"})
        EXPECT_EQ(get(s.httpPort, path).status, 404) << path;
    Answer post = get(s.httpPort, "/metrics", "POST");
    EXPECT_EQ(post.status, 405);
    EXPECT_TRUE(hasHeader(post, "Allow: GET, HEAD")) << post.head;
    EXPECT_EQ(get(s.httpPort, "/readyz", "DELETE").status, 405);

    std::string big = "GET /metrics HTTP/1.1\r\nX-Filler: " + std::string(9000, 'a') + "\r\n\r\n";
    EXPECT_EQ(httpExchange(s.httpPort, big).status, 431);
    // What makes a head malformed is the unit tests' matter; here, a line
    // that is no request and bytes of another protocol.
    for (const char* bad : {"hello\r\n\r\n", "\x16\x03\x01\x02\x05\x01\x03\x01\xfc\x03\x03\r\n"})
        EXPECT_EQ(httpExchange(s.httpPort, bad).status, 400) << bad;
    // Absolute form, and a head that comes in pieces.
    EXPECT_EQ(get(s.httpPort, "http://127.0.0.1/livez").status, 200);
    Client pieces(s.httpPort);
    pieces.send(Bytes{'G', 'E', 'T', ' ', '/', 'l'});
    EXPECT_TRUE(pieces.expectNothingMore(100ms));
    std::string rest = "ivez HTTP/1.0\r\n\r\n";
    pieces.send(Bytes(rest.begin(), rest.end()));
    EXPECT_TRUE(pieces.waitForClose());
    Bytes got = pieces.recvExactly(12, 0ms);
    EXPECT_EQ(std::string(got.begin(), got.end()), "HTTP/1.1 200");
}

TEST(e2eHttpEndpoint, AFullEndpointTurnsAwayMoreAndHoldsNoPlayerUpAndIdlePeersAreClosed) {
    auto s = startServed();
    ASSERT_TRUE(s.server && s.httpPort);
    auto alice = join(*s.server, "alice", {});
    auto bob = join(*s.server, "bob", {alice.get()});

    std::vector<std::unique_ptr<Client>> idle;
    auto opened = driver::Clock::now();
    for (int i = 0; i < 4; ++i) idle.push_back(std::make_unique<Client>(s.httpPort));
    // A request on one of them shows that all four were accepted before the fifth.
    idle[3]->send(Bytes{'G'});
    Client fifth(s.httpPort);
    EXPECT_TRUE(fifth.waitForClose(1000ms)) << "the fifth connection is closed at once";
    for (auto& c : idle) EXPECT_FALSE(c->closed());

    // Players are served meanwhile, round after round.
    for (int round = 0; round < 10; ++round) {
        barrier(*alice, {bob.get()});
        barrier(*bob, {alice.get()});
    }
    for (auto& c : idle) EXPECT_TRUE(c->waitForClose(kWait));
    auto closedAfter = driver::Clock::now() - opened;
    EXPECT_GE(closedAfter, 1500ms);
    EXPECT_LE(closedAfter, 6000ms);
    EXPECT_EQ(get(s.httpPort, "/livez").status, 200);
    barrier(*alice, {bob.get()});
}

TEST(e2eHttpEndpoint, NoEndpointWithoutTheVariableAndABadAddressIsReported) {
    auto plain = Server::start();
    ASSERT_TRUE(plain);
    plain->type("sync");
    auto alice = join(*plain, "alice", {});
    for (const auto& line : plain->lines(Stream::Out)) EXPECT_EQ(line.find("Health and metrics"), std::string::npos);

    // Which addresses are refused is the unit tests' matter; here, what follows.
    auto bad = Server::start({}, {}, {"GAMESERVER_HTTP_ADDRESS=nohost:9150"});
    ASSERT_TRUE(bad);
    EXPECT_TRUE(bad->waitForLine(Stream::Err,
                                 "GAMESERVER_HTTP_ADDRESS \"nohost:9150\" is not host:port "
                                 "(an IPv4 address or localhost): no health and metrics endpoint."));
    join(*bad, "bob", {});
}

TEST(e2eHttpEndpoint, LivenessFailsWhileTheNetworkLoopIsStuckAndMetricsStillAnswer) {
    if (serverIsWindows()) GTEST_SKIP() << "the stalling fault is built for Linux only";
    auto s = startServed({}, {std::string(GAMESERVER_FAULTY_DIR) + "/gameserver_stall"});
    ASSERT_TRUE(s.server && s.httpPort);
    EXPECT_EQ(get(s.httpPort, "/livez").status, 200);
    Client staller(s.server->port());
    staller.send(pkt::hello("stall"));
    EXPECT_TRUE(s.server->waitForLine(Stream::Out, "Player \"stall\" connected."));

    auto end = driver::Clock::now() + 5000ms;
    Answer live;
    do {
        live = get(s.httpPort, "/livez");
    } while (live.status == 200 && driver::Clock::now() < end);
    EXPECT_EQ(live.status, 503);
    EXPECT_EQ(live.body, "the network loop is stuck\n");
    EXPECT_EQ(get(s.httpPort, "/metrics").status, 200);
}

// The new program opens the endpoint again on the same port, the old one's
// listener having closed as it was replaced.
TEST(e2eHttpEndpoint, ServesOnItsPortAgainAfterAnUpgradeInPlace) {
    ProgramCopy program;
    int port = freePort();
    const std::string line = kEndpointLine + std::to_string(port) + "/";
    auto server = Server::start({}, program.command(), {"GAMESERVER_HTTP_ADDRESS=127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(server);
    auto opened = [&] {
        auto out = server->lines(Stream::Out);
        return std::count(out.begin(), out.end(), line);
    };
    // The endpoint opens about when the game port does, before or after.
    auto end = driver::Clock::now() + kWait;
    while (opened() < 1 && driver::Clock::now() < end) std::this_thread::sleep_for(10ms);
    auto alice = join(*server, "alice", {});
    {
        Client old(server->port());
        old.send(pkt::hello("old", "", 0.8f));
        EXPECT_TRUE(old.waitForClose());
    }
    const std::string before = metricsWith(port, "gameserver_logins_total{result=\"version\"} 1");
    auto lineOf = [](const std::string& page, const std::string& name) {
        std::size_t at = page.find("\n" + name + " ");
        return at == std::string::npos ? std::string() : page.substr(at + 1, page.find('\n', at + 1) - at - 1);
    };
    const std::string started = lineOf(before, "process_start_time_seconds");
    EXPECT_FALSE(started.empty());
    // An upgrade that fails at the check (on Windows: at the start) counts
    // as one.
    program.installScript("#!/bin/sh\nexit 0\n");
    requestUpgrade(*server);
    EXPECT_TRUE(server->waitForLineStartingWith(Stream::Err, "Upgrade failed: "));
    metricsWith(port, "gameserver_upgrades_total{outcome=\"failed_check\"} 1");

    program.install();
    requestUpgrade(*server);
    ASSERT_TRUE(upgraded(*server, program));
    end = driver::Clock::now() + kWait;
    while (opened() < 2 && driver::Clock::now() < end) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(opened(), 2);
    // The totals and the start time go on, so that a scraper sees no reset.
    const std::string after = metricsWith(port, "gameserver_upgrades_total{outcome=\"upgraded\"} 1");
    for (const char* total : {"gameserver_logins_total{result=\"version\"} 1",
                              "gameserver_logins_total{result=\"accepted\"} 1",
                              "gameserver_connections_accepted_total 2", "gameserver_players 1"})
        EXPECT_NE(after.find(std::string("\n") + total + "\n"), std::string::npos) << total << " in\n" << after;
    EXPECT_EQ(lineOf(after, "process_start_time_seconds"), started);
    EXPECT_EQ(get(port, "/livez").status, 200);
    EXPECT_EQ(server->lines(Stream::Err).size(), 1u) << "the failed upgrade's line only";
}

}  // namespace
}  // namespace e2e
