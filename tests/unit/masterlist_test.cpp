#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "fake_list_server.h"
#include "masterlist/announcer.h"
#include "masterlist/master_list.h"
#include "server/client_table.h"
#include "server/lifecycle.h"
#include "unit_support.h"

using namespace test;

namespace {

// A list client pointed at the fake on loopback.
MasterListState* listFor(const FakeListServer& fake, const char* host = "127.0.0.1", int waitMs = 5000,
                         int requestLimitMs = kRequestLimitMs) {
    return createMasterList(host, ListLimits{static_cast<std::uint16_t>(fake.port()), waitMs, requestLimitMs});
}

std::string page(const std::string& body) { return "HTTP/1.1 200 OK\r\n\r\n" + body; }

}  // namespace

TEST(MasterList, SendsTheExactRequestsAndFollowsTheStartPage) {
    FakeListServer fake;
    ASSERT_TRUE(fake.ok());
    fake.setRootPage(page("<html><a href=\"http://localhost/\">Servers</a></html>"));
    MasterListState* list = listFor(fake);

    EXPECT_EQ(registerServer(*list, "Kav server", 50505, 0, 4, 0.9f), 0);
    EXPECT_EQ(list->registered.load(), 1);
    EXPECT_STREQ(list->host, "localhost");
    EXPECT_EQ(registerServer(*list, "  a&b=c ", 6000, 3, 8, 0.9f), 0);
    EXPECT_EQ(unregisterServer(*list), 0);
    EXPECT_EQ(list->registered.load(), 0);

    auto requests = fake.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0], "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(requests[1],
              "GET /add.php?name=Kav%20server&port=50505&players=0&maxplayers=4&version=0.900000 HTTP/1.1\r\n"
              "Host: localhost\r\n\r\n");
    EXPECT_EQ(requests[2],
              "GET /add.php?name=%20%20a&b=c%20&port=6000&players=3&maxplayers=8&version=0.900000 HTTP/1.1\r\n"
              "Host: localhost\r\n\r\n");
    EXPECT_EQ(requests[3], "GET /delete.php HTTP/1.1\r\nHost: localhost\r\n\r\n");

    // After the delete at stop, an add that comes late must not list the server again.
    EXPECT_EQ(registerServer(*list, "Kav server", 50505, 0, 4, 0.9f), -1);
    EXPECT_EQ(fake.requests().size(), 4u);
}

TEST(MasterList, RefusesPortsOutsideTheRangeBeforeAnyLookup) {
    OutputCapture output;
    FakeListServer fake;
    MasterListState* list = listFor(fake);
    EXPECT_EQ(registerServer(*list, "x", 65536, 0, 4, 0.9f), -1);
    EXPECT_EQ(registerServer(*list, "x", static_cast<std::uint32_t>(-1), 0, 4, 0.9f), -1);
    EXPECT_EQ(output.err(),
              (Lines{"port must be a number between 0 and 65535", "port must be a number between 0 and 65535"}));
    EXPECT_EQ(list->redirectResolved.load(), 0);
    EXPECT_EQ(list->registered.load(), 0);
    EXPECT_TRUE(fake.requests().empty());
    EXPECT_EQ(registerServer(*list, "x", 65535, 0, 4, 0.9f), 0);
}

TEST(MasterList, TakesTheHostFromTheFirstLink) {
    char host[16] = "default";
    // The host runs from 13 characters after href=" to 2 before the '>'.
    EXPECT_TRUE(hostFromPage("x href=\"http://a.b/\">", host, sizeof host));
    EXPECT_STREQ(host, "a.b");
    EXPECT_TRUE(hostFromPage("href=\"http://x/\">", host, sizeof host));
    EXPECT_STREQ(host, "x");
    EXPECT_TRUE(hostFromPage("href=\"http://x\">", host, sizeof host));  // the '>' 15 characters on: empty
    EXPECT_STREQ(host, "");

    std::strcpy(host, "default");
    EXPECT_FALSE(hostFromPage("<html>no link</html>", host, sizeof host));
    EXPECT_FALSE(hostFromPage("href=\"http://nothing-closes", host, sizeof host));
    EXPECT_FALSE(hostFromPage("href=\"http:/>", host, sizeof host));  // '>' too close to the match
    EXPECT_FALSE(hostFromPage("href=\"http://a-host-longer-than-the-field/\">", host, sizeof host));
    EXPECT_STREQ(host, "default");
}

TEST(MasterList, TellsWhenAPageIsComplete) {
    auto complete = [](const std::string& answer) { return pageComplete(answer.data(), answer.size()); };
    EXPECT_TRUE(complete("<html></html>"));
    EXPECT_TRUE(complete("<html></html> \r\n\r\n  "));
    EXPECT_FALSE(complete("<html></html>\t"));
    EXPECT_FALSE(complete("<html></html>x\n"));
    EXPECT_FALSE(complete("</html"));

    const std::string head = "HTTP/1.1 200 OK\r\nServer: x\r\ncontent-LENGTH : 5 \r\n\r\n";
    EXPECT_FALSE(complete(head + "1234"));
    EXPECT_TRUE(complete(head + "12345"));
    EXPECT_TRUE(complete("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"));
    // Not a length: the status line, another header's value, a bad number.
    EXPECT_FALSE(complete("Content-Length: 0\r\n\r\n"));
    EXPECT_FALSE(complete("HTTP/1.1 200 OK\r\nX-Content-Length: 0\r\n\r\n"));
    EXPECT_FALSE(complete("HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\nab"));
    EXPECT_FALSE(complete("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\nab"));
}

TEST(MasterList, NoticesTheEndOfAPageSplitAcrossReceives) {
    FakeListServer fake;
    // Five-byte chunks split "</html>"; the connection stays open afterwards, so
    // only the page's end can end the read before the (long) wait runs out.
    fake.setRootPage(page("<html><a href=\"http://127.0.0.1/\">list</a></html>"), 5);
    fake.setHoldAfterPage(true);
    MasterListState* list = listFor(fake, "127.0.0.1", 120000);
    std::thread announce([&] { registerServer(*list, "Kav server", 50505, 0, 4, 0.9f); });
    EXPECT_TRUE(fake.waitForRequests(2, 30000)) << "the read did not end at </html>";
    announce.join();
    EXPECT_EQ(list->registered.load(), 1);
}

TEST(MasterList, TakesWhatCameWhenTheWaitForThePageRunsOut) {
    FakeListServer fake;
    // No "</html>" and the connection stays open: only the wait ends the read.
    fake.setRootPage(page("<a href=\"http://localhost/\">list</a>"));
    fake.setHoldAfterPage(true);
    MasterListState* list = listFor(fake, "127.0.0.1", 300);
    EXPECT_EQ(registerServer(*list, "Kav server", 50505, 0, 4, 0.9f), 0);
    EXPECT_STREQ(list->host, "localhost");
}

TEST(MasterList, SurvivesHostilePages) {
    {
        FakeListServer fake;  // a page that never ends
        fake.setMode(FakeListServer::Mode::EndlessPage);
        MasterListState* list = listFor(fake, "127.0.0.1", 500);
        EXPECT_EQ(registerServer(*list, "Kav server", 50505, 0, 4, 0.9f), 0);
        EXPECT_STREQ(list->host, "127.0.0.1");
    }
    {
        FakeListServer fake;  // a host far longer than the host field
        fake.setRootPage(page("<a href=\"http://" + std::string(2000, 'h') + "/\"></html>"));
        MasterListState* list = listFor(fake);
        EXPECT_EQ(registerServer(*list, "Kav server", 50505, 0, 4, 0.9f), 0);
        EXPECT_STREQ(list->host, "127.0.0.1");
    }
    {
        OutputCapture output;
        FakeListServer fake;  // a host that fits the field but not an add request
        std::string longHost(300, 'h');
        fake.setRootPage(page("<a href=\"http://" + longHost + "/\"></html>"));
        MasterListState* list = listFor(fake);
        EXPECT_EQ(registerServer(*list, "Kav server", 50505, 0, 4, 0.9f), -1);
        EXPECT_EQ(list->host, longHost);
        EXPECT_EQ(list->registered.load(), 0);
        EXPECT_EQ(fake.requests().size(), 1u);  // only the start page
    }
}

TEST(MasterList, FailsWithoutAConnectionAndLeavesTheStateAsItWas) {
    OutputCapture output;
    // A label longer than 63 characters: the resolver refuses the name
    // without asking any name server.
    MasterListState* unresolvable = createMasterList((std::string(70, 'n') + ".invalid").c_str());
    EXPECT_EQ(registerServer(*unresolvable, "Kav server", 50505, 0, 4, 0.9f), -1);
    EXPECT_EQ(registerServer(*unresolvable, "Kav server", 50505, 0, 4, 0.9f), -1);
    EXPECT_EQ(unresolvable->redirectResolved.load(), 1);
    EXPECT_EQ(unresolvable->registered.load(), 0);
    // Once for the start page, once for each add; never again for the start page.
    EXPECT_EQ(output.out(), (Lines{"could not resolve host", "could not resolve host", "could not resolve host"}));
    EXPECT_EQ(unregisterServer(*unresolvable), 0);  // never listed: nothing to delete
    EXPECT_EQ(output.out().size(), 3u);

    int freePort;
    {
        FakeListServer gone;
        freePort = gone.port();
    }
    MasterListState* refused =
        createMasterList("127.0.0.1", ListLimits{static_cast<std::uint16_t>(freePort), kListWaitMs, kRequestLimitMs});
    EXPECT_EQ(registerServer(*refused, "Kav server", 50505, 0, 4, 0.9f), -1);
    EXPECT_EQ(refused->registered.load(), 0);
}

TEST(MasterList, GivesUpOnAListThatNeverAnswers) {
    FakeListServer fake;
    fake.setMode(FakeListServer::Mode::Silent);
    MasterListState* list = listFor(fake, "127.0.0.1", 300);
    EXPECT_EQ(registerServer(*list, "Kav server", 50505, 0, 4, 0.9f), -1);
    EXPECT_EQ(list->registered.load(), 0);
    EXPECT_STREQ(list->host, "127.0.0.1");
    EXPECT_EQ(fake.requests().size(), 2u);
}

TEST(MasterList, EndsEachRequestWithinItsLimitWhateverItsWaits) {
    FakeListServer fake;
    fake.setMode(FakeListServer::Mode::Silent);
    MasterListState* list = listFor(fake, "127.0.0.1", 10000, 400);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(registerServer(*list, "Kav server", 50505, 0, 4, 0.9f), -1);
    // Two requests (the start page and the add) of 0.4 s, not two waits of 10 s.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(fake.requests().size(), 2u);
}

TEST(Announcer, AnnouncesAtFirstOnEveryChangeAndAtEveryThirtiethCheck) {
    AnnounceCounters counters = firstAnnounceCounters(kAnnounceSchedule);
    EXPECT_TRUE(announcementDue(counters, 0, kAnnounceSchedule));
    for (int check = 1; check < 30; ++check)
        EXPECT_FALSE(announcementDue(counters, 0, kAnnounceSchedule)) << "check " << check;
    EXPECT_TRUE(announcementDue(counters, 0, kAnnounceSchedule));

    // A change is announced at the next check, and the thirty checks start again.
    for (int check = 1; check < 10; ++check) EXPECT_FALSE(announcementDue(counters, 0, kAnnounceSchedule));
    EXPECT_TRUE(announcementDue(counters, 1, kAnnounceSchedule));
    for (int check = 1; check < 30; ++check) EXPECT_FALSE(announcementDue(counters, 1, kAnnounceSchedule));
    EXPECT_TRUE(announcementDue(counters, 1, kAnnounceSchedule));
}

TEST(Announcer, AnnouncesTheClientCountUntilTheServerStops) {
    FakeListServer fake;
    GameServer* server = createServer("Kav server", 50505, 4);
    server->masterList = listFor(fake);
    const AnnounceSchedule quick{10, 20, 1000};
    std::thread thread([&] { announcerThread(*server, quick, firstAnnounceStart(quick)); });

    ASSERT_TRUE(fake.waitForRequests(2, 10000));
    EXPECT_NE(fake.requests()[1].find("players=0&"), std::string::npos);
    {
        std::lock_guard<std::mutex> table(server->tableLock);
        appendClient(*server, kInvalidSocket, allocateClientId(*server));
    }
    ASSERT_TRUE(fake.waitForRequests(3, 10000));
    EXPECT_NE(fake.requests()[2].find("players=1&"), std::string::npos);

    requestStop(*server);
    thread.join();
    EXPECT_EQ(fake.requests().size(), 3u);
}

TEST(Announcer, StopEndsThePauseAtOnce) {
    FakeListServer fake;
    GameServer* server = createServer("Kav server", 50505, 4);
    server->masterList = listFor(fake);
    const AnnounceSchedule slow{0, 60000, 30};
    auto thread = std::async(std::launch::async, [&] { announcerThread(*server, slow, firstAnnounceStart(slow)); });
    ASSERT_TRUE(fake.waitForRequests(2, 10000));  // the first add; a minute's pause follows
    requestStop(*server);
    EXPECT_EQ(thread.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}
