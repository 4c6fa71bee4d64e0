// The socket sets the connection loop waits on.
#include "server/connection_loop.h"
#include "unit_support.h"

using namespace test;

TEST(SetupFdSets, ListenerFirstThenClientsByWhatTheyNeed) {
    std::unique_ptr<GameServer> server(createServer("t", 1, 4));
    for (Socket s = 10; s < 80; ++s) appendClient(*server, s, static_cast<std::uint8_t>(s));
    server->clients[0].recvLen = kBufferSize;  // full: not read from
    server->clients[1].sendLen = 1;
    server->clients[69].sendLen = 5;
    SocketSet& r = server->readSet;
    SocketSet& w = server->writeSet;
    SocketSet& e = server->exceptSet;
    w.count = 9;  // left over from an earlier pass
    setupFdSets(*server, 5, r, w, e);

    EXPECT_EQ((std::vector<std::uint32_t>{r.count, w.count, e.count}), (std::vector<std::uint32_t>{64, 2, 64}));
    EXPECT_EQ((std::vector<Socket>{r.slots[0], r.slots[1], r.slots[63]}), (std::vector<Socket>{5, 11, 73}));
    EXPECT_EQ((std::vector<Socket>{w.slots[0], w.slots[1]}), (std::vector<Socket>{11, 79}));
    EXPECT_EQ((std::vector<Socket>{e.slots[0], e.slots[1], e.slots[63]}), (std::vector<Socket>{5, 10, 72}));
    EXPECT_EQ(server->maxSocket, 79u);  // beyond the sets' room as well

    removeClientAt(*server, 69);
    setupFdSets(*server, kInvalidSocket, r, w, e);
    EXPECT_EQ(r.slots[0], 11u);
    EXPECT_EQ(e.slots[0], 10u);
    EXPECT_EQ(server->maxSocket, 79u);  // never lowered
}
