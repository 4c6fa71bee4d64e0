// The server as it announces itself on the internet server list, with its
// default list host pointed at a stand-in on this machine.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>

#include "fake_list_server.h"
#include "harness.h"
#include "platform/network/socket.h"

using namespace e2e;

namespace {

const std::string kHost = GAMESERVER_MASTER_HOST;

std::string addRequest(int port, int players) {
    return "GET /add.php?name=Kav%20server&port=" + std::to_string(port) + "&players=" + std::to_string(players) +
           "&maxplayers=4&version=0.900000 HTTP/1.1\r\nHost: " + kHost + "\r\n\r\n";
}
const std::string kRootRequest = "GET / HTTP/1.1\r\nHost: " + kHost + "\r\n\r\n";
const std::string kDeleteRequest = "GET /delete.php HTTP/1.1\r\nHost: " + kHost + "\r\n\r\n";

// A socket bound to one loopback address, so that beside it other loopback
// addresses refuse connections. UDP for a name server that never answers.
class AddressSocket {
public:
    AddressSocket(const char* ip, int port, int type = SOCK_STREAM) {
        fd_ = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, ip, &addr.sin_addr);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            (type == SOCK_STREAM && ::listen(fd_, 8) != 0)) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~AddressSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // Whether a connection came within the time.
    bool connected(Ms timeout) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
    }
    // Takes one connection, reads its request and sends the answer.
    bool serve(const std::string& answer, Ms timeout) {
        if (!connected(timeout)) return false;
        int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        std::string request;
        char buf[512];
        ssize_t n;
        while (request.find("\r\n\r\n") == std::string::npos && (n = ::recv(c, buf, sizeof buf, 0)) > 0)
            request.append(buf, static_cast<std::size_t>(n));
        ::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
        ::close(c);
        return true;
    }

private:
    int fd_ = -1;
};

std::string pageLinkingTo(const std::string& host) {
    return "HTTP/1.1 200 OK\r\n\r\n<html><a href=\"http://" + host + "/\">list</a></html>";
}

class Announcement : public ::testing::Test {
protected:
    void SetUp() override {
        Ipv4Address addr;
        if (netResolveIpv4(kHost.c_str(), &addr, 1) != 1 || addr.bytes[0] != 127)
            GTEST_SKIP() << "the list host does not point at this machine (run through in_namespace.sh)";
        list = std::make_unique<FakeListServer>(80);
        if (!list->ok()) GTEST_SKIP() << "port 80 is not free";
        list->setRootPage("HTTP/1.1 200 OK\r\n\r\n<html><a href=\"http://" + kHost + "/\">list</a></html>");
        port = freePort();
    }

    std::unique_ptr<Process> startServer(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"-port", std::to_string(port)};
        args.insert(args.end(), extra.begin(), extra.end());
        auto server = std::make_unique<Process>(args);
        EXPECT_TRUE(server->waitForLine(e2e::Stream::Out, "Waiting for connections on port " + std::to_string(port)));
        return server;
    }

    std::unique_ptr<FakeListServer> list;
    int port = 0;
};

}  // namespace

TEST_F(Announcement, AddsItselfAtStartAndDeletesItselfOnEveryKindOfStop) {
    // Windows has no SIGTERM: against a Windows binary the last round is a
    // second Ctrl+C.
    for (int stop : {0, SIGINT, e2e::stopSignal()}) {
        SCOPED_TRACE(stop == 0 ? "exit" : stop == SIGINT ? "SIGINT" : "SIGTERM");
        list.reset();  // port 80 is free again before the next stand-in takes it
        list = std::make_unique<FakeListServer>(80);
        ASSERT_TRUE(list->ok());
        list->setRootPage("HTTP/1.1 200 OK\r\n\r\n<html><a href=\"http://" + kHost + "/\">list</a></html>");

        auto server = startServer();
        ASSERT_TRUE(list->waitForRequests(2, 15000));
        if (stop == 0) server->type("exit");
        else server->signal(stop);
        EXPECT_TRUE(server->waitForLine(e2e::Stream::Out, "Stopping server..."));
        EXPECT_EQ(server->waitForExit(), 0);

        auto requests = list->requests();
        ASSERT_EQ(requests.size(), 3u);
        EXPECT_EQ(requests[0], kRootRequest);
        EXPECT_EQ(requests[1], addRequest(port, 0));
        EXPECT_EQ(requests[2], kDeleteRequest);
    }
}

TEST_F(Announcement, TakesTheListHostFromTheEnvironment) {
    // A name that is no host name leaves the built-in host, after a line
    // that says so; a good one replaces it.
    struct Round {
        const char* value;
        std::string host;
    };
    for (const Round& round : {Round{"list host", kHost}, Round{"127.0.0.1", "127.0.0.1"}}) {
        SCOPED_TRACE(round.value);
        list.reset();
        list = std::make_unique<FakeListServer>(80);
        ASSERT_TRUE(list->ok());
        list->setRootPage(pageLinkingTo(round.host));
        ::setenv("GAMESERVER_MASTER_HOST", round.value, 1);
        auto server = startServer();
        ::unsetenv("GAMESERVER_MASTER_HOST");
        ASSERT_TRUE(list->waitForRequests(2, 15000));
        server->type("exit");
        EXPECT_EQ(server->waitForExit(), 0);
        auto requests = list->requests();
        ASSERT_EQ(requests.size(), 3u);
        EXPECT_EQ(requests[0], "GET / HTTP/1.1\r\nHost: " + round.host + "\r\n\r\n");
        EXPECT_EQ(requests[2], "GET /delete.php HTTP/1.1\r\nHost: " + round.host + "\r\n\r\n");
        bool reported = false;
        for (const auto& line : server->lines(e2e::Stream::Err))
            reported = reported || line.rfind("GAMESERVER_MASTER_HOST \"list host\" is no host name", 0) == 0;
        EXPECT_EQ(reported, round.host == kHost);
    }
}

TEST_F(Announcement, SendsNothingWhenOnlyOnTheLocalNetwork) {
    auto server = startServer({"-onlylan"});
    // Well past the first announcement's time.
    EXPECT_FALSE(list->waitForRequests(1, 1500));
    server->type("exit");
    EXPECT_EQ(server->waitForExit(), 0);
    EXPECT_TRUE(list->requests().empty());
}

TEST_F(Announcement, AnnouncesThePortTheOrchestratorMapsOnceItIsKnown) {
    // The sidecar answers only well after the first announcement's time:
    // the announcement waits for the public port rather than send players
    // to the port the process listens on.
    FakeListServer sidecar(0, 2000);
    ASSERT_TRUE(sidecar.ok());
    sidecar.setAnswer("GET /gameserver ", gameServerRecordAnswer(7777));
    ::setenv("AGONES_SDK_HTTP_PORT", std::to_string(sidecar.port()).c_str(), 1);
    auto server = startServer();
    ::unsetenv("AGONES_SDK_HTTP_PORT");
    ASSERT_TRUE(list->waitForRequests(2, 15000));
    EXPECT_EQ(list->requests()[1], addRequest(7777, 0));
    server->type("exit");
    EXPECT_EQ(server->waitForExit(), 0);
}

TEST_F(Announcement, KeepsServingWhenTheListNeverAnswers) {
    list->setMode(FakeListServer::Mode::Silent);
    auto server = startServer();
    ASSERT_TRUE(list->waitForRequests(1, 15000));  // the start page, never answered

    // Players are served while the announcement waits on the list.
    Client bob(port);
    bob.send(pkt::hello("bob"));
    Bytes reply = bob.recvFrame();
    ASSERT_EQ(reply.size(), 72u);
    EXPECT_EQ(reply[71], 0) << "login refused";

    // The stop waits for the request under way, within its bounds; the add
    // never got an answer, so the server is not listed and nothing is deleted.
    server->type("exit");
    EXPECT_EQ(server->waitForExit(Ms(60000)), 0);
    for (const auto& request : list->requests()) EXPECT_EQ(request.find("delete"), std::string::npos);
}

TEST_F(Announcement, NoticesThePagesEndOnAListThatKeepsTheConnection) {
    // Both pages leave the connection open, as a keep-alive web server does.
    const std::string body = "<html><a href=\"http://" + kHost + "/\">list</a></html>";
    const std::vector<std::string> pages{
        "HTTP/1.1 200 OK\r\n\r\n" + body + " \r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size() + 12) + "\r\n\r\n" + body +
            "\n<!-- x -->\n",
    };
    for (const auto& page : pages) {
        SCOPED_TRACE(page);
        list.reset();
        list = std::make_unique<FakeListServer>(80);
        ASSERT_TRUE(list->ok());
        list->setRootPage(page);
        list->setHoldAfterPage(true);
        auto server = startServer();
        ASSERT_TRUE(list->waitForRequests(1, 15000));
        // The add follows the page at once, not after the 10 s the read
        // would otherwise wait.
        auto pageSent = std::chrono::steady_clock::now();
        ASSERT_TRUE(list->waitForRequests(2, 15000));
        EXPECT_LT(std::chrono::steady_clock::now() - pageSent, std::chrono::seconds(5));
        EXPECT_EQ(list->requests()[1], addRequest(port, 0));
        server->type("exit");
        EXPECT_EQ(server->waitForExit(), 0);
    }
}

TEST_F(Announcement, GivesUpOnANameServerThatNeverAnswers) {
    AddressSocket nameServer("127.0.0.1", 53, SOCK_DGRAM);  // takes the queries, answers none
    if (!nameServer.ok()) GTEST_SKIP() << "port 53 on 127.0.0.1 is taken";
    list->setRootPage(pageLinkingTo("unanswered.example.net"));
    auto server = startServer();
    ASSERT_TRUE(list->waitForRequests(1, 15000));
    // The add's lookup goes to the name server; after its 10 s it counts as
    // a name that does not resolve, long before the resolver itself gives up.
    EXPECT_TRUE(server->waitForLine(e2e::Stream::Out, "could not resolve host", Ms(25000)));
    server->type("exit");
    EXPECT_EQ(server->waitForExit(), 0);
    EXPECT_EQ(list->requests().size(), 1u);  // not listed, so no delete either
}

TEST_F(Announcement, TriesAtMostFourAddresses) {
    list.reset();  // port 80 on every address is needed one by one
    // four.example.net and five.example.net stand at 127.0.0.2 and on;
    // only the last address of each has a list.
    for (int addresses : {4, 5}) {
        SCOPED_TRACE(addresses);
        AddressSocket root("127.0.0.1", 80);
        std::string last = "127.0.0." + std::to_string(addresses + 1);
        AddressSocket lastList(last.c_str(), 80);
        ASSERT_TRUE(root.ok() && lastList.ok());
        auto server = startServer();
        ASSERT_TRUE(root.serve(pageLinkingTo(addresses == 4 ? "four.example.net" : "five.example.net"), Ms(15000)));
        if (addresses == 4) {
            const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK";
            EXPECT_TRUE(lastList.serve(ok, Ms(15000)));  // the add
            server->type("exit");
            EXPECT_TRUE(lastList.serve(ok, Ms(15000)));  // the delete
            EXPECT_EQ(server->waitForExit(Ms(60000)), 0);
        } else {
            // The stop waits for the add under way, so when the process has
            // ended every address the add was going to try has been tried.
            server->type("exit");
            EXPECT_EQ(server->waitForExit(Ms(60000)), 0);
            EXPECT_FALSE(lastList.connected(Ms(0)));
        }
    }
}

// An upgrade in place keeps the entry: nothing is deleted or added anew, and
// the stop deletes it as before. An add still under way at the upgrade goes
// out again from the new program.
TEST_F(Announcement, KeepsItsEntryAcrossAnUpgrade) {
    if (serverIsWindows()) GTEST_SKIP() << "the upgrade in place is there on Linux only";
    for (bool underWay : {false, true}) {
        SCOPED_TRACE(underWay ? "an add under way" : "listed");
        list.reset();
        list = std::make_unique<FakeListServer>(80);
        ASSERT_TRUE(list->ok());
        list->setRootPage(pageLinkingTo(kHost));
        if (underWay) list->setMode(FakeListServer::Mode::Silent);
        ProgramCopy program;
        auto server = std::make_unique<Process>(std::vector<std::string>{"-port", std::to_string(port)},
                                                program.command());
        ASSERT_TRUE(server->waitForLine(e2e::Stream::Out, "Waiting for connections on port " + std::to_string(port)));
        ASSERT_TRUE(list->waitForRequests(underWay ? 1 : 2, 15000));
        list->setMode(FakeListServer::Mode::Normal);

        program.install();
        server->signal(SIGUSR2);
        ASSERT_TRUE(upgraded(*server, program));
        if (underWay) {
            // The start page again, and the add, soon after the upgrade.
            ASSERT_TRUE(list->waitForRequests(3, 15000));
        } else {
            // Well past the time a fresh start would announce itself.
            EXPECT_FALSE(list->waitForRequests(3, 1500));
        }
        server->type("exit");
        EXPECT_EQ(server->waitForExit(), 0);
        auto requests = list->requests();
        std::vector<std::string> expected{kRootRequest, addRequest(port, 0), kDeleteRequest};
        if (underWay) expected.insert(expected.begin(), kRootRequest);
        EXPECT_EQ(requests, expected);
    }
}

TEST_F(Announcement, ADrainLeavesTheListAtOnceWhileThePlayersPlayOn) {
    if (serverIsWindows()) GTEST_SKIP() << "Wine passes no termination request on to a Windows program";
    Server server({"-port", std::to_string(port)}, port, {}, {"GAMESERVER_DRAIN_SECONDS=600"});
    ASSERT_TRUE(server.waitForLine(e2e::Stream::Out, "Waiting for connections on port " + std::to_string(port)));
    ASSERT_TRUE(list->waitForRequests(2, 15000));
    auto alice = join(server, "alice", {});

    server.signal(SIGTERM);
    ASSERT_TRUE(list->waitForRequests(3, 5000));
    EXPECT_EQ(list->requests()[2], kDeleteRequest);
    // The player plays on, unlisted; the stop that follows deletes nothing
    // more and adds nothing.
    alice->send(pkt::chat("unlisted"));
    EXPECT_TRUE(server.waitForLine(e2e::Stream::Out, "alice: unlisted"));
    alice.reset();
    EXPECT_TRUE(server.waitForLine(e2e::Stream::Out, "Stopping server..."));
    EXPECT_EQ(server.waitForExit(), 0);
    EXPECT_EQ(list->requests().size(), 3u);
}
