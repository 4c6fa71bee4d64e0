// The lobby and the song flow between logged-in players: songs, votes,
// scores, chat, streams and plain relays.
#include "harness.h"

namespace e2e {
namespace {

using namespace pkt;

TEST(e2eLobby, OnlyTheHostSelectsSongs) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    auto bob = join(*server, "bob", {alice.get()});

    bob->send(songSelected(9, "Not yours", 1, 2, 3));
    barrier(*bob, {alice.get()});

    // A name filling all 64 bytes is kept whole; the frame goes on with the
    // host's lead byte.
    std::string name;
    for (int i = 0; i < 64; ++i) name += static_cast<char>('A' + i % 26);
    alice->send(songSelected(5, name, 1, 2, 3, 0x7F));
    EXPECT_BYTES(bob->recvFrame(), songSelected(5, name, 1, 2, 3, 0x7F));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "song set to " + name));
    for (const auto& line : server->lines(Stream::Out)) EXPECT_EQ(line.find("Not yours"), std::string::npos);
    barrier(*bob, {alice.get()});
}

TEST(e2eLobby, VotesStartTheSongAndCancelClearsThem) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    alice->send(songSelected(1, "Tune", 0, 0, 0));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "song set to Tune"));

    // Alone, one vote starts the song; the voter gets its own frame back.
    alice->send(frame(20, {}, 0x31));
    EXPECT_BYTES(alice->recvFrame(), frame(20, {}, 0x31));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "starting to play song Tune"));

    auto bob = join(*server, "bob", {alice.get()});
    EXPECT_EQ(bob->recvFrame()[1], 3) << "waiting notice";

    // Cancel goes to everybody, the sender too, and clears the votes.
    alice->send(frame(19, {}, 0x19));
    EXPECT_BYTES(alice->recvFrame(), frame(19, {}, 0x19));
    EXPECT_BYTES(bob->recvFrame(), frame(19, {}, 0x19));
    alice->send(frame(20));
    barrier(*alice, {bob.get()});
    barrier(*bob, {alice.get()});
    // A second vote from the same player starts at once.
    alice->send(frame(20, {}, 0x32));
    EXPECT_BYTES(alice->recvFrame(), frame(20, {}, 0x32));
    EXPECT_BYTES(bob->recvFrame(), frame(20, {}, 0x32));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "starting to play songTune"));

    bob->send(frame(19, {}, 0x20));
    EXPECT_BYTES(alice->recvFrame(), frame(19, {}, 0x20));
    EXPECT_BYTES(bob->recvFrame(), frame(19, {}, 0x20));
    alice->send(frame(20));
    barrier(*alice, {bob.get()});
    bob->send(frame(20, {}, 0x33));
    EXPECT_BYTES(alice->recvFrame(), frame(20, {}, 0x33));
    EXPECT_BYTES(bob->recvFrame(), frame(20, {}, 0x33));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "starting to play song Tune"));

    // A connection that has not logged in holds the start back.
    Client silent(server->port());
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Client ID 3"));
    bob->send(frame(19));
    for (Client* c : {alice.get(), bob.get(), &silent}) EXPECT_BYTES(c->recvFrame(), frame(19));
    alice->send(frame(20));
    bob->send(frame(20));
    barrier(*alice, {bob.get(), &silent});
    barrier(*bob, {alice.get(), &silent});
    std::size_t starts = 0;
    for (const auto& line : server->lines(Stream::Out)) starts += line.rfind("starting to play song", 0) == 0;
    EXPECT_EQ(starts, 3u);
}

TEST(e2eLobby, ScoresAndChatAreShownAndRelayed) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    auto bob = join(*server, "bob", {alice.get()});
    auto carol = join(*server, "carol", {alice.get(), bob.get()});

    const Bytes scores = cat(
        {scoreReport(1234.5, 45, 50, 0x7F), scoreReport(1e7, 1, 3), scoreReport(0.25, 5, 0), scoreReport(-2, 5, -2)});
    bob->send(scores);
    EXPECT_BYTES(alice->recvExactly(scores.size()), scores);
    EXPECT_BYTES(carol->recvExactly(scores.size()), scores);
    barrier(*alice, {bob.get(), carol.get()});

    alice->send(chat("hi there", 0x7F));
    EXPECT_BYTES(bob->recvFrame(), chat("hi there", 0x7F));
    EXPECT_BYTES(carol->recvFrame(), chat("hi there", 0x7F));
    const std::string full(500, 'x');
    carol->send(cat({chat("one"), chat("two"), chat(full)}));
    for (Client* c : {alice.get(), bob.get()})
        EXPECT_BYTES(c->recvExactly(3 * 502), cat({chat("one"), chat("two"), chat(full)}));
    barrier(*bob, {alice.get(), carol.get()});

    EXPECT_TRUE(server->expectLines(Stream::Out, {"bob scored: 1234.5", "Accuracy: 90", "bob scored: 1e+07",
                                                  "Accuracy: 33.3333", "bob scored: 0.25", "bob scored: -2",
                                                  "alice: hi there", "carol: one", "carol: two", "carol: " + full}));
}

// Where each kind of relayed frame goes: plain relays to every other player,
// stream frames only to the others who opted in; all with the sender's bytes.
TEST(e2eLobby, RelaysReachTheirRecipientsWithTheSendersBytes) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    auto bob = join(*server, "bob", {alice.get()});
    auto carol = join(*server, "carol", {alice.get(), bob.get()});

    const Bytes relays = cat(
        {byteValue(4, 0xEE, 0x7F), frame(6, {1, 2, 3, 4}, 0xFF), frame(7, {5, 6, 7, 8, 9}, 0x80), frame(8, {}, 0x7F)});
    alice->send(relays);
    EXPECT_BYTES(bob->recvExactly(relays.size()), relays);
    EXPECT_BYTES(carol->recvExactly(relays.size()), relays);
    barrier(*bob, {alice.get(), carol.get()});

    // A gated flag without the song flag is dropped, and what follows it in
    // the same read is still handled.
    carol->send(cat({byteValue(13, 9), byteValue(4, 1), byteValue(16, 1), byteValue(13, 9)}));
    for (Client* c : {alice.get(), bob.get()})
        EXPECT_BYTES(c->recvExactly(9), cat({byteValue(4, 1), byteValue(16, 1), byteValue(13, 9)}));
    barrier(*alice, {bob.get(), carol.get()});

    Bytes opaque;
    for (int i = 0; i < 28; ++i) opaque.push_back(static_cast<std::uint8_t>(i * 9 + 1));
    const Bytes streams = cat({frame(0, opaque, 0x7F), byteValue(2, 0x42, 0x7F), byteValue(9, 0x43, 0x01)});

    bob->send(byteValue(21, 1));
    barrier(*bob, {alice.get(), carol.get()});
    alice->send(streams);
    EXPECT_BYTES(bob->recvExactly(streams.size()), streams);
    barrier(*alice, {bob.get(), carol.get()});
    // The opted-in sender does not get its own, the others did not opt in.
    bob->send(streams);
    barrier(*bob, {alice.get(), carol.get()});
    barrier(*alice, {bob.get(), carol.get()});

    // Any nonzero byte opts in; 0 opts out again.
    carol->send(byteValue(21, 0x80));
    bob->send(byteValue(21, 0));
    barrier(*bob, {alice.get(), carol.get()});
    alice->send(streams);
    EXPECT_BYTES(carol->recvExactly(streams.size()), streams);
    barrier(*alice, {bob.get(), carol.get()});
}

TEST(e2eProtocol, IdsThatAreNotAllowedCloseTheConnection) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    const std::string gate =
        "unauthenticated client tried sending something different than the version packet, packet id: ";

    // Before login the id byte is taken as signed.
    Client stranger(server->port());
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Client ID 2"));
    stranger.send({0x00, 200});
    EXPECT_TRUE(stranger.waitForClose());
    EXPECT_TRUE(server->expectLines(Stream::Out, {gate + "-56", "Client ID 2 disconnected", "number of clients: 1"}));
    EXPECT_BYTES(alice->recvFrame(), playerLeft(2));

    // A known id waits for its whole frame before the gate closes it; no
    // chat is relayed.
    Client chatter(server->port());
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Client ID 2"));
    Bytes text = chat("let me in");
    chatter.send(Bytes(text.begin(), text.end() - 1));
    barrier(*alice, {&chatter});
    alice->send(chat("sync"));
    EXPECT_BYTES(chatter.recvFrame(), chat("sync"));
    chatter.send({text.back()});
    EXPECT_TRUE(chatter.waitForClose());
    EXPECT_TRUE(server->expectLines(Stream::Out,
                                    {"alice: sync", gate + "3", "Client ID 2 disconnected", "number of clients: 1"}));
    EXPECT_BYTES(alice->recvFrame(), playerLeft(2));

    // After login, packets only the server sends and ids without a length
    // close the connection; what came before in the same read is handled.
    const Bytes bad[] = {playerInfo(1, "fake", 0, 0, 0, 0),
                         helloReply(1, 0, "fake"),
                         playerLeft(1),
                         hostAssigned(2),
                         Bytes{0x00, 22},
                         Bytes{0x00, 0xFF}};
    int closed = 0;
    for (const auto& b : bad) {
        SCOPED_TRACE(hex(Bytes(b.begin(), b.begin() + 2)));
        auto bob = join(*server, "bob", {alice.get()});
        bob->send(cat({chat("before"), b}));
        EXPECT_BYTES(alice->recvFrame(), chat("before"));
        EXPECT_TRUE(bob->waitForClose());
        EXPECT_TRUE(
            server->expectLines(Stream::Out, {"bob: before", "Client ID 2 disconnected", "number of clients: 1"}));
        EXPECT_BYTES(alice->recvFrame(), playerLeft(2));
        EXPECT_TRUE(server->waitForLine(Stream::Err, "Error while parsing data"));
        ++closed;
    }
    EXPECT_EQ(server->lines(Stream::Err), std::vector<std::string>(closed, "Error while parsing data"));
}

TEST(e2eProtocol, FramesSplitAcrossReadsAreJoined) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    Client bob(server->port());
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Client ID 2"));

    // Each barrier comes back only after the server has read the piece
    // before it.
    const Bytes login = hello("bob");
    bob.send(Bytes(login.begin(), login.begin() + 1));
    barrier(*alice, {&bob});
    bob.send(Bytes(login.begin() + 1, login.begin() + 60));
    barrier(*alice, {&bob});
    bob.send(Bytes(login.begin() + 60, login.end()));
    EXPECT_BYTES(bob.recvExactly(72 + 74 + 6),
                 cat({helloReply(2, 0, "bob"), playerInfo(1, "alice", 0, 0, 1, -1), lobbyValue(0)}));
    EXPECT_BYTES(alice->recvFrame(), playerInfo(2, "bob", 0, 0, 0, -1));

    const Bytes text = chat("in two halves");
    alice->send(Bytes(text.begin(), text.begin() + 250));
    barrier(bob, {alice.get()});
    alice->send(Bytes(text.begin() + 250, text.end()));
    EXPECT_BYTES(bob.recvFrame(), text);
    EXPECT_TRUE(server->waitForLine(Stream::Out, "alice: in two halves"));
}

TEST(e2eProtocol, ControlCharactersShowAsQuestionMarksOnTheConsoleOnly) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    const std::string name = "ev\nil\x7F";
    Client evil(server->port());
    evil.send(hello(name));
    EXPECT_BYTES(evil.recvExactly(72 + 3 + 6), cat({helloReply(1, 0, name), hostAssigned(1), lobbyValue(0)}));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Player \"ev?il?\" connected."));
    auto bob = join(*server, "bob", {&evil});

    const std::string forged = "hi\nServer: \x1b[0mforged\r\t";
    evil.send(cat({chat(forged), songSelected(2, "So\x01ng", 0, 0, 0), scoreReport(1, 0, 0)}));
    EXPECT_BYTES(bob->recvExactly(502 + 82 + 30),
                 cat({chat(forged), songSelected(2, "So\x01ng", 0, 0, 0), scoreReport(1, 0, 0)}));
    // bob has not voted: the second vote starts the song.
    evil.send(cat({frame(20), frame(20)}));
    EXPECT_BYTES(evil.recvFrame(), frame(20));
    EXPECT_BYTES(bob->recvFrame(), frame(20));
    server->type("players");
    EXPECT_TRUE(server->expectLines(Stream::Out, {"ev?il?: hi?Server: ?[0mforged??", "song set to So?ng",
                                                  "ev?il? scored: 1", "starting to play songSo?ng"}));
    EXPECT_TRUE(
        server->expectLines(Stream::Out, {"", "ID\tName", "-------------------------------", "1\tev?il?", "2\tbob"}));
}

}  // namespace
}  // namespace e2e
