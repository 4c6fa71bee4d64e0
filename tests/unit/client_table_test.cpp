// The client table and the pool of client IDs.
#include "unit_support.h"

using namespace test;

namespace {

std::vector<int> idsOf(const GameServer& server) {
    std::vector<int> ids;
    for (const auto& c : server.clients) ids.push_back(c.id);
    return ids;
}

}  // namespace

TEST(ClientTable, IdsAreTheLowestFreeOnesUpTo255) {
    std::unique_ptr<GameServer> server(createServer("t", 1, 4));
    EXPECT_EQ(allocateClientId(*server), 1);
    EXPECT_EQ(allocateClientId(*server), 2);
    EXPECT_EQ(allocateClientId(*server), 3);
    releaseClientId(*server, 2);
    EXPECT_EQ(allocateClientId(*server), 2);
    EXPECT_EQ(allocateClientId(*server), 4);
    for (int id = 5; id <= 255; ++id) ASSERT_EQ(allocateClientId(*server), id);
    EXPECT_EQ(allocateClientId(*server), 0);  // all held
    EXPECT_EQ(server->idInUse[0], 0);
    releaseClientId(*server, 200);
    EXPECT_EQ(allocateClientId(*server), 200);
}

TEST(ClientTable, NewRecordsGoLastAndRemovalKeepsTheOrder) {
    std::unique_ptr<GameServer> server(createServer("t", 1, 4));
    appendClient(*server, 77, 5);
    for (std::uint8_t id : {std::uint8_t{3}, std::uint8_t{8}, std::uint8_t{1}}) appendClient(*server, 100 + id, id);
    removeClientById(*server, 3);
    EXPECT_EQ(idsOf(*server), (std::vector<int>{5, 8, 1}));
    removeClientAt(*server, 0);
    appendClient(*server, 120, 20);
    EXPECT_EQ(idsOf(*server), (std::vector<int>{8, 1, 20}));
    EXPECT_EQ(clientCount(*server), 3u);
}

TEST(ClientTable, FindByIdGivesTheFirstHolderAndNeverIdZero) {
    std::unique_ptr<GameServer> server(createServer("t", 1, 4));
    appendClient(*server, 10, 0);
    appendClient(*server, 11, 4);
    appendClient(*server, 12, 4);
    EXPECT_EQ(findClientById(*server, 0), nullptr);
    ASSERT_NE(findClientById(*server, 4), nullptr);
    EXPECT_EQ(findClientById(*server, 4)->sock, 11u);
    EXPECT_EQ(findClientById(*server, 5), nullptr);
}
