// Logging in: the packets players get and their order, names, refusals, late
// joiners, departures and the host role, idle and surplus connections.
#include <cstring>

#include "harness.h"

namespace e2e {
namespace {

using namespace pkt;

// Loopback source addresses, eight connections each.
std::string sourceAddress(int connection) { return "127.0.0." + std::to_string(10 + connection / 8); }

TEST(e2eLogin, PlayersGetTheirWelcomeInOrder) {
    auto server = Server::start();
    ASSERT_TRUE(server);

    Client alice(server->port());
    alice.send(hello("alice"));
    EXPECT_BYTES(alice.recvExactly(72 + 3 + 6), cat({helloReply(1, 0, "alice"), hostAssigned(1), lobbyValue(0)}));
    auto accepted = server->waitForLineStartingWith(
        Stream::Out, "Accepted connection from 127.0.0.1:" + std::to_string(alice.localPort()) + ", socket ");
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->back(), '.');
    EXPECT_TRUE(
        server->expectLines(Stream::Out, {"number of clients: 1", "Client ID 1", "Player \"alice\" connected."}));

    Client bob(server->port());
    bob.send(hello("bob"));
    EXPECT_BYTES(bob.recvExactly(72 + 74 + 6),
                 cat({helloReply(2, 0, "bob"), playerInfo(1, "alice", 0, 0, 1, -1), lobbyValue(0)}));
    EXPECT_BYTES(alice.recvFrame(), playerInfo(2, "bob", 0, 0, 0, -1));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "number of clients: 2"));
    EXPECT_TRUE(server->expectLines(Stream::Out, {"Client ID 2", "Player \"bob\" connected."}));

    // bob's flags and value are relayed with his lead byte and show in what
    // the next newcomer learns about him; the gated flag counts only once
    // the song flag is set.
    bob.send(cat({byteValue(13, 7, 0x11), byteValue(16, 1, 0x12), frame(17, i32(77), 0x13), byteValue(13, 5, 0x14)}));
    EXPECT_BYTES(alice.recvExactly(3 + 6 + 3),
                 cat({byteValue(16, 1, 0x12), frame(17, i32(77), 0x13), byteValue(13, 5, 0x14)}));

    Client carol(server->port());
    carol.send(hello("carol"));
    EXPECT_BYTES(carol.recvExactly(72 + 74 + 74 + 6),
                 cat({helloReply(3, 0, "carol"), playerInfo(1, "alice", 0, 0, 1, -1), playerInfo(2, "bob", 5, 1, 0, 77),
                      lobbyValue(0)}));
    EXPECT_BYTES(alice.recvFrame(), playerInfo(3, "carol", 0, 0, 0, -1));
    EXPECT_BYTES(bob.recvFrame(), playerInfo(3, "carol", 0, 0, 0, -1));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Player \"carol\" connected."));
    EXPECT_TRUE(alice.expectNothingMore());
    EXPECT_TRUE(bob.expectNothingMore());
    EXPECT_TRUE(carol.expectNothingMore());
}

TEST(e2eLogin, ClashingNamesGetTheIdAppended) {
    auto server = Server::start({"-maxplayers", "8"});
    ASSERT_TRUE(server);
    auto bob = join(*server, "bob", {});
    Client bob2(server->port());
    bob2.send(hello("bob"));
    EXPECT_BYTES(bob2.recvFrame(), helloReply(2, 0, "bob(2)"));
    EXPECT_BYTES(bob->recvFrame(), playerInfo(2, "bob(2)", 0, 0, 0, -1));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Player \"bob(2)\" connected."));

    // A name filling the whole field is cut to 63 characters; on a clash the
    // first 58 are kept before the ID.
    const std::string long64(64, 'n');
    Client third(server->port());
    third.send(hello(long64));
    EXPECT_BYTES(third.recvFrame(), helloReply(3, 0, std::string(63, 'n')));
    Client fourth(server->port());
    fourth.send(hello(long64));
    EXPECT_BYTES(fourth.recvFrame(), helloReply(4, 0, std::string(58, 'n') + "(4)"));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Player \"" + std::string(58, 'n') + "(4)\" connected."));

    // The walk goes on from a clash with the changed name: only the records
    // after the clash are compared with it, so a name may come twice.
    Client tom7(server->port());
    tom7.send(hello("tom(7)"));
    EXPECT_BYTES(tom7.recvFrame(), helloReply(5, 0, "tom(7)"));
    Client tom(server->port());
    tom.send(hello("tom"));
    EXPECT_BYTES(tom.recvFrame(), helloReply(6, 0, "tom"));
    Client tom2(server->port());
    tom2.send(hello("tom"));
    EXPECT_BYTES(tom2.recvFrame(), helloReply(7, 0, "tom(7)"));
}

TEST(e2eLogin, RefusedLoginsAreAnsweredWithTheirReasonAndClosed) {
    auto server = Server::start({"-maxplayers", "2"});
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});

    struct Case {
        Bytes hello;
        std::uint8_t status;
        std::vector<std::string> reasons;
    };
    const Case cases[] = {
        {hello("bob", "", 1.0f), 1, {"Client version differs from Server"}},
        {hello("bob", "secret"), 2, {"Wrong password"}},
    };
    for (const auto& c : cases) {
        Client bob(server->port());
        bob.send(c.hello);
        EXPECT_BYTES(bob.recvExactly(72), helloReply(2, c.status, "bob"));
        EXPECT_TRUE(bob.waitForClose());
        EXPECT_TRUE(bob.recvExactly(1, 0ms).empty());
        EXPECT_TRUE(server->waitForLine(Stream::Out, "Client ID 2"));
        auto expected = c.reasons;
        expected.insert(expected.end(), {"Client ID 2 disconnected", "number of clients: 1"});
        EXPECT_TRUE(server->expectLines(Stream::Out, expected));
        // A leaver that never logged in is announced all the same.
        EXPECT_BYTES(alice->recvFrame(), playerLeft(2));
    }

    // Full: every check runs and prints its line; the last failing one gives
    // the status.
    auto carol = join(*server, "carol", {alice.get()});
    Client dave(server->port());
    dave.send(hello("dave", "", 0.5f));
    EXPECT_BYTES(dave.recvExactly(72), helloReply(3, 3, "dave"));
    EXPECT_TRUE(dave.waitForClose());
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Client ID 3"));
    EXPECT_TRUE(server->expectLines(Stream::Out, {"Client version differs from Server", "Server is full",
                                                  "Client ID 3 disconnected", "number of clients: 2"}));
    EXPECT_BYTES(alice->recvFrame(), playerLeft(3));
    EXPECT_BYTES(carol->recvFrame(), playerLeft(3));
}

TEST(e2eLogin, LateJoinersLearnTheSongTheLobbyValueAndTheRunningSong) {
    auto server = Server::start({"-maxplayers", "8"});
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    auto bob = join(*server, "bob", {alice.get()});

    // The host's lobby value is relayed; anybody else's is ignored.
    alice->send(frame(18, i32(258), 0x33));
    EXPECT_BYTES(bob->recvFrame(), frame(18, i32(258), 0x33));
    bob->send(frame(18, i32(999)));
    barrier(*bob, {alice.get()});

    alice->send(songSelected(7, "Song A", 11, 22, 33, 0x44));
    EXPECT_BYTES(bob->recvFrame(), songSelected(7, "Song A", 11, 22, 33, 0x44));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "song set to Song A"));

    // The song's last field goes out as 0; every player's value is the
    // song's, the newcomer's included.
    Client carol(server->port());
    carol.send(hello("carol"));
    EXPECT_BYTES(carol.recvExactly(72 + 82 + 74 + 74 + 6),
                 cat({helloReply(3, 0, "carol"), songSelected(7, "Song A", 11, 22, 0),
                      playerInfo(1, "alice", 0, 1, 1, 33), playerInfo(2, "bob", 0, 0, 0, 33), lobbyValue(258)}));
    EXPECT_BYTES(alice->recvFrame(), playerInfo(3, "carol", 0, 0, 0, 33));
    EXPECT_BYTES(bob->recvFrame(), playerInfo(3, "carol", 0, 0, 0, 33));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Player \"carol\" connected."));

    alice->send(frame(20));
    bob->send(frame(20));
    barrier(*bob, {alice.get(), &carol});
    carol.send(frame(20, {}, 0x21));
    for (Client* c : {alice.get(), bob.get(), &carol}) EXPECT_BYTES(c->recvFrame(), frame(20, {}, 0x21));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "starting to play song Song A"));

    Client dave(server->port());
    dave.send(hello("dave"));
    EXPECT_BYTES(
        dave.recvExactly(72 + 82 + 3 * 74 + 6),
        cat({helloReply(4, 0, "dave"), songSelected(7, "Song A", 11, 22, 0), playerInfo(1, "alice", 0, 1, 1, 33),
             playerInfo(2, "bob", 0, 0, 0, 33), playerInfo(3, "carol", 0, 0, 0, -1), lobbyValue(258)}));
    Bytes notice = dave.recvFrame();
    ASSERT_EQ(notice.size(), 502u);
    std::string text(reinterpret_cast<const char*>(&notice[2]));
    const std::string before = "The current song was started ";
    const std::string after = " seconds ago, you will have to wait until it finishes before you can start playing.";
    ASSERT_GT(text.size(), before.size() + after.size());
    EXPECT_EQ(text.substr(0, before.size()), before);
    EXPECT_EQ(text.substr(text.size() - after.size()), after);
    std::string seconds = text.substr(before.size(), text.size() - before.size() - after.size());
    EXPECT_TRUE(seconds.size() == 1 && seconds[0] >= '0' && seconds[0] <= '5') << seconds;
    EXPECT_EQ(notice[0], 0);
    for (Client* c : {alice.get(), bob.get(), &carol}) EXPECT_EQ(c->recvFrame()[1], 11);
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Player \"dave\" connected."));

    // The first score ends the running song: no notice for the next one.
    carol.send(scoreReport(100, 1, 1));
    for (Client* c : {alice.get(), bob.get(), &dave}) EXPECT_EQ(c->recvFrame()[1], 1);
    auto eve = join(*server, "eve", {alice.get(), bob.get(), &carol, &dave});
    EXPECT_TRUE(eve->expectNothingMore());
}

TEST(e2eLogin, TheHostRoleMovesOnWhenTheHostLeaves) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    auto bob = join(*server, "bob", {alice.get()});
    auto carol = join(*server, "carol", {alice.get(), bob.get()});

    std::string socket = acceptedSocket(*server, *alice);
    alice->close();
    EXPECT_TRUE(server->expectLines(Stream::Out, {"Socket " + socket + " was closed by the client. Shutting down.",
                                                  "Client ID 1 disconnected", "number of clients: 2"}));
    EXPECT_BYTES(bob->recvExactly(6), cat({playerLeft(1), hostAssigned(2)}));
    EXPECT_BYTES(carol->recvExactly(6), cat({playerLeft(1), hostAssigned(2)}));

    // The freed lowest ID goes to the next player, who is not host.
    Client dave(server->port());
    dave.send(hello("dave"));
    EXPECT_BYTES(dave.recvExactly(72 + 74 + 74 + 6), cat({helloReply(1, 0, "dave"), playerInfo(2, "bob", 0, 0, 1, -1),
                                                          playerInfo(3, "carol", 0, 0, 0, -1), lobbyValue(0)}));
    EXPECT_BYTES(bob->recvFrame(), playerInfo(1, "dave", 0, 0, 0, -1));
    EXPECT_BYTES(carol->recvFrame(), playerInfo(1, "dave", 0, 0, 0, -1));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Player \"dave\" connected."));

    // Somebody who is not host leaves: no hand-over.
    carol->close();
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Client ID 3 disconnected"));
    EXPECT_TRUE(server->expectLines(Stream::Out, {"number of clients: 2"}));
    EXPECT_BYTES(bob->recvFrame(), playerLeft(3));
    EXPECT_BYTES(dave.recvFrame(), playerLeft(3));
    EXPECT_TRUE(bob->expectNothingMore());

    bob->send(songSelected(3, "Left behind", 0, 0, 9));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "song set to Left behind"));
    bob->close();
    dave.close();
    EXPECT_TRUE(server->waitUntil(Stream::Out, [](const std::vector<std::string>& lines) {
        return !lines.empty() && lines.back() == "number of clients: 0";
    }));

    // An empty server has forgotten the lobby: the next player is host and
    // hears of no song.
    Client eve(server->port());
    eve.send(hello("eve"));
    EXPECT_BYTES(eve.recvExactly(72 + 3 + 6), cat({helloReply(1, 0, "eve"), hostAssigned(1), lobbyValue(0)}));
    EXPECT_TRUE(eve.expectNothingMore());
}

TEST(e2eLogin, ConnectionWithoutLoginIsClosedAfterTenSeconds) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    auto start = std::chrono::steady_clock::now();
    Client idle(server->port());
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Client ID 2"));
    // Part of a Hello does not count as a login either.
    Client partial(server->port());
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Client ID 3"));
    Bytes piece = hello("slow");
    piece.resize(40);
    partial.send(piece);

    EXPECT_TRUE(idle.waitForClose(30s));
    // Ten seconds, with room for a slow machine on the late side.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 9500ms);
    EXPECT_LE(std::chrono::steady_clock::now() - start, 13000ms);
    EXPECT_TRUE(partial.waitForClose(30s));
    EXPECT_BYTES(alice->recvExactly(6), cat({playerLeft(2), playerLeft(3)}));
    EXPECT_TRUE(server->expectLines(Stream::Out, {"Client ID 2 disconnected", "number of clients: 2",
                                                  "Client ID 3 disconnected", "number of clients: 1"}));

    // Logged-in players stay.
    alice->send(chat("still in"));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "alice: still in"));
}

TEST(e2eLogin, ConnectionFindingEveryIdTakenIsClosedAtOnce) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    // One address may hold only a few connections without login: these come
    // from many.
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 255; ++i) clients.push_back(std::make_unique<Client>(server->port(), sourceAddress(i)));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Client ID 255"));

    // The warning comes with the 64th client in the table, not before.
    auto out = server->lines(Stream::Out);
    const std::string warning =
        "WARNING: More than 63 client connections accepted.  This will not work reliably on some Winsock stacks!";
    for (std::size_t i = 0; i + 1 < out.size(); ++i) {
        if (out[i] == "Client ID 63") {
            EXPECT_NE(out[i + 1], warning);
        }
        if (out[i] == "Client ID 64") {
            EXPECT_EQ(out[i + 1], warning);
        }
    }

    Client surplus(server->port(), "127.0.0.200");
    EXPECT_TRUE(surplus.waitForClose(5s));
    EXPECT_TRUE(surplus.recvExactly(1, 0ms).empty());
    // The server goes on: a freed ID is handed out again.
    clients.front()->close();
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Client ID 1 disconnected"));
    Client again(server->port(), "127.0.0.201");
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Client ID 1"));
    for (const auto& line : server->lines(Stream::Out)) {
        EXPECT_NE(line, "Client ID 0");
        EXPECT_NE(line, "Client ID 256");
        EXPECT_NE(line, "number of clients: 256");
    }

    server->type("exit");
    EXPECT_EQ(server->waitForExit(), 0);
}

}  // namespace
}  // namespace e2e
