// Clients leaving: closeClient, the host hand-over, and kicks.
#include "server/protocol/departures.h"
#include "unit_support.h"

using namespace test;

class Departures : public ServerFixture {
protected:
    void makeHost(std::size_t index) {
        client(index).isHost = 1;
        server->hostId = client(index).id;
    }
    std::vector<int> ids() {
        std::vector<int> result;
        for (const auto& c : server->clients) result.push_back(c.id);
        return result;
    }
    // The frames a client was sent, found by its ID (records move when one
    // leaves); for tests whose IDs were handed out in turn.
    std::vector<Bytes> framesOf(std::uint8_t id) { return framesSent(*findClientById(*server, id), peer(id - 1)); }
};

TEST_F(Departures, LeavingHostPassesTheRoleToTheFirstOtherClient) {
    std::size_t x = addClient("x", true);
    addClient();  // never logged in, and still the next host
    addClient("z", true);
    makeHost(x);
    Socket xSock = client(x).sock;
    closeClient(*server, client(x));

    EXPECT_EQ(output.out(), (Lines{"Client ID 1 disconnected", "number of clients: 2"}));
    EXPECT_EQ(ids(), (std::vector<int>{2, 3}));
    EXPECT_EQ(server->hostId, 2);
    EXPECT_EQ(server->clients[0].isHost + server->clients[1].isHost, 1);
    for (std::uint8_t id : {std::uint8_t{2}, std::uint8_t{3}})
        EXPECT_EQ(framesOf(id), (std::vector<Bytes>{frameOf({kPlayerLeft, 1}), frameOf({kHostAssigned, 2})}));
    // Released although its peer has not closed its side; the ID is free again.
    EXPECT_FALSE(isOpen(xSock));
    EXPECT_TRUE(readsEnd(peer(x)));
    EXPECT_EQ(allocateClientId(*server), 1);
}

TEST_F(Departures, NewHostIsTheFirstInTableOrderNotTheLowestId) {
    for (int k = 0; k < 3; ++k) addClient("p", true);
    closeClient(*server, client(0));
    addClient("late", true);  // takes ID 1, last in table order
    ASSERT_EQ(ids(), (std::vector<int>{2, 3, 1}));
    makeHost(1);
    closeClient(*server, client(1));
    EXPECT_EQ(server->hostId, 2);
    EXPECT_EQ(framesSent(client(1), peers.back()),
              (std::vector<Bytes>{frameOf({kPlayerLeft, 3}), frameOf({kHostAssigned, 2})}));
}

TEST_F(Departures, NonHostLeavingIsAnnouncedOnly) {
    std::size_t x = addClient("x", true), y = addClient("y", true);
    addClient("z", true);
    makeHost(x);
    closeClient(*server, client(y));
    EXPECT_EQ(server->hostId, 1);
    for (std::uint8_t id : {std::uint8_t{1}, std::uint8_t{3}}) EXPECT_EQ(framesOf(id), std::vector<Bytes>{frameOf({kPlayerLeft, 2})});
    EXPECT_EQ(output.out(), (Lines{"Client ID 2 disconnected", "number of clients: 2"}));
}

TEST_F(Departures, LastClientLeavingResetsTheLobby) {
    for (bool host : {true, false}) {
        SCOPED_TRACE(host);
        reset();
        std::size_t x = addClient("x", host);
        if (host) makeHost(x);
        server->songRunning = 1;
        server->songId = 4;
        server->songArg3 = 8;
        server->lobbyValue = 6;
        std::strcpy(server->songName, "kept");
        closeClient(*server, client(x));
        EXPECT_EQ(output.out(), (Lines{"Client ID 1 disconnected", "number of clients: 0"}));
        EXPECT_EQ((std::vector<int>{server->songRunning, server->hostId, server->songId, server->songArg3, server->lobbyValue}),
                  (std::vector<int>{0, 0, 0, -1, 0}));
        EXPECT_STREQ(server->songName, "kept");
    }
}

TEST_F(Departures, KickedHostGetsTheNoticeBeforeTheConnectionEnds) {
    std::size_t x = addClient("x", true);
    addClient("y", true);
    makeHost(x);
    ASSERT_TRUE(requestKick(*server, 1));
    carryOutKicks(*server);
    Bytes notice = readFrame(peer(x));
    ASSERT_EQ(notice.size(), 502u);
    EXPECT_EQ(notice[1], kChatText);
    EXPECT_EQ(textField(&notice[2], kChatTextSize), "You were kicked");
    EXPECT_TRUE(readsEnd(peer(x)));
    EXPECT_EQ(framesOf(2), (std::vector<Bytes>{frameOf({kPlayerLeft, 1}), frameOf({kHostAssigned, 2})}));
    EXPECT_EQ(output.out(), (Lines{"Client ID 1 disconnected", "number of clients: 1"}));

    output.clear();
    EXPECT_FALSE(requestKick(*server, 9));
    EXPECT_EQ(output.out(), Lines{"Client with ID 9 not found"});
    EXPECT_EQ(clientCount(*server), 1u);
    EXPECT_TRUE(framesOf(2).empty());
}

// Each kicked client once, in table order, also where one follows another.
TEST_F(Departures, KicksOfOnePassAreCarriedOutInTableOrder) {
    for (int k = 0; k < 5; ++k) addClient("p", true);
    for (std::uint8_t id : {5, 2, 3}) ASSERT_TRUE(requestKick(*server, id));
    carryOutKicks(*server);
    EXPECT_EQ(output.out(), (Lines{"Client ID 2 disconnected", "number of clients: 4", "Client ID 3 disconnected",
                                   "number of clients: 3", "Client ID 5 disconnected", "number of clients: 2"}));
    EXPECT_EQ(ids(), (std::vector<int>{1, 4}));
    for (std::uint8_t id : {1, 4})
        EXPECT_EQ(framesOf(id), (std::vector<Bytes>{frameOf({kPlayerLeft, 2}), frameOf({kPlayerLeft, 3}),
                                                     frameOf({kPlayerLeft, 5})}));
}
