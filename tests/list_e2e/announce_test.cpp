// The server as it announces itself on the internet server list, with its
// default list host pointed at a stand-in on this machine.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "fake_list_server.h"
#include "harness.h"
#include "net/socket.h"

using namespace e2e;

namespace {

const std::string kHost = GAMESERVER_MASTER_HOST;

std::string addRequest(int port, int players) {
    return "GET /add.php?name=Kav%20server&port=" + std::to_string(port) + "&players=" + std::to_string(players) +
           "&maxplayers=4&version=0.900000 HTTP/1.1\r\nHost: " + kHost + "\r\n\r\n";
}
const std::string kRootRequest = "GET / HTTP/1.1\r\nHost: " + kHost + "\r\n\r\n";
const std::string kDeleteRequest = "GET /delete.php HTTP/1.1\r\nHost: " + kHost + "\r\n\r\n";

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
    for (int stop : {0, SIGINT, SIGTERM}) {
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

TEST_F(Announcement, SendsNothingWhenOnlyOnTheLocalNetwork) {
    auto server = startServer({"-onlylan"});
    // Well past the first announcement's time.
    EXPECT_FALSE(list->waitForRequests(1, 1500));
    server->type("exit");
    EXPECT_EQ(server->waitForExit(), 0);
    EXPECT_TRUE(list->requests().empty());
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
