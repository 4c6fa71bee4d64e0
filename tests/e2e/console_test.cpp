// The operator's console commands, typed on the running server.
#include <cstdio>
#include <cstdlib>

#include "harness.h"

namespace e2e {
namespace {

const std::string kUnknown = "Unknown command, type 'help' to get list of supported commands.";

const std::vector<std::string> kHelp{
    "",
    "Runtime commands:",
    "help\t\t\t\tthis help",
    "maxplayers x\t\t\tset maximum number of players to x",
    "players\t\t\t\tdisplay list of connected players and their IDs",
    "say x\t\t\t\tsend text x to all players",
    "kick x\t\t\t\tkick player with ID x",
    "exit\t\t\t\tend program",
    "",
    "Start parameters:",
    "-onlylan\t\t\tdon't list server on internet server list",
    "-maxplayers x\t\t\tset maximum number of players to x",
    "-port x\t\t\t\tset server port to x",
    "-name x\t\t\t\tset server name to x",
};

TEST(e2eConsole, HelpAndLinesThatAreNoCommand) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    server->type("help");
    EXPECT_TRUE(server->expectLines(Stream::Out, kHelp));
    server->type("helpme");
    EXPECT_TRUE(server->expectLines(Stream::Out, kHelp));

    // The empty line prints nothing; the others are no command (too short,
    // wrong case, a leading blank, or the blank missing).
    for (const char* line : {"", "exi", "HELP", " help", "maxplayers", "say", "kick", "players please"})
        server->type(line);
    EXPECT_TRUE(server->expectLines(
        Stream::Out, {kUnknown, kUnknown, kUnknown, kUnknown, kUnknown, kUnknown, "No players connected"}));
    EXPECT_TRUE(server->lines(Stream::Err).empty());
}

TEST(e2eConsole, MaxPlayersReadsTwoCharactersClampsAndAppliesToLaterLogins) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    for (const char* line : {"maxplayers 8", "maxplayers 99", "maxplayers 100", "maxplayers 0", "maxplayers -5",
                             "maxplayers ab", "maxplayers 1"})
        server->type(line);
    server->type("sync");
    EXPECT_TRUE(server->expectLines(Stream::Out, {"Maxplayers set to 8", "Maxplayers set to 63", "Maxplayers set to 10",
                                                  "Maxplayers set to 1", kUnknown}));

    auto alice = join(*server, "alice", {});
    Client bob(server->port());
    bob.send(pkt::hello("bob"));
    EXPECT_BYTES(bob.recvExactly(72), pkt::helloReply(2, 3, "bob"));
    EXPECT_TRUE(bob.waitForClose());
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Server is full"));
    EXPECT_BYTES(alice->recvFrame(), pkt::playerLeft(2));

    server->type("maxplayers 2");
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Maxplayers set to 2"));
    auto carol = join(*server, "carol", {alice.get()});
}

TEST(e2eConsole, PlayersListsEveryConnectionInTableOrder) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    server->type("players");
    EXPECT_TRUE(server->expectLines(Stream::Out, {"No players connected"}));

    auto alice = join(*server, "alice", {});
    auto bob = join(*server, "bob", {alice.get()});
    Client silent(server->port());
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Client ID 3"));
    server->type("players");
    EXPECT_TRUE(server->expectLines(Stream::Out,
                                    {"", "ID\tName", "-------------------------------", "1\talice", "2\tbob", "3\t"}));

    // The lowest free ID goes to the next connection, which still stands
    // last in the table.
    bob->close();
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Client ID 2 disconnected"));
    EXPECT_BYTES(alice->recvFrame(), pkt::playerLeft(2));
    EXPECT_BYTES(silent.recvFrame(), pkt::playerLeft(2));
    auto carol = join(*server, "carol", {alice.get(), &silent});
    server->type("players");
    EXPECT_TRUE(server->expectLines(
        Stream::Out, {"", "ID\tName", "-------------------------------", "1\talice", "3\t", "2\tcarol"}));
}

TEST(e2eConsole, SaySendsTheTextToEveryConnection) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    Client silent(server->port());
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Client ID 2"));

    server->type("say hello all");
    EXPECT_TRUE(server->expectLines(Stream::Out, {"Server: hello all"}));
    EXPECT_BYTES(alice->recvFrame(), pkt::chat("hello all"));
    EXPECT_BYTES(silent.recvFrame(), pkt::chat("hello all"));

    // Nothing after the blank: nothing sent, nothing printed.
    server->type("say ");
    std::string text;
    for (int i = 0; i < 600; ++i) text += static_cast<char>('a' + i % 26);
    server->type("say " + text);
    const std::string first500 = text.substr(0, 500);
    EXPECT_TRUE(server->expectLines(Stream::Out, {"Server: " + first500}));
    // The text fills the field: no terminator.
    for (Client* c : {alice.get(), &silent}) {
        Bytes got = c->recvFrame();
        EXPECT_BYTES(got, pkt::chat(first500));
        ASSERT_EQ(got.size(), 502u);
        EXPECT_EQ(got.back(), static_cast<std::uint8_t>(text[499]));
    }
    EXPECT_TRUE(alice->expectNothingMore());
}

TEST(e2eConsole, KickTellsThePlayerClosesItAndHandsTheHostRoleOn) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    auto bob = join(*server, "bob", {alice.get()});
    auto carol = join(*server, "carol", {alice.get(), bob.get()});

    // Only two characters are read: "kick 123" looks for client 12.
    for (const char* line : {"kick 5", "kick 0", "kick -1", "kick x", "kick 123", "sync"}) server->type(line);
    EXPECT_TRUE(
        server->expectLines(Stream::Out, {"Client with ID 5 not found", "Client with ID 12 not found", kUnknown}));

    server->type("kick 2");
    EXPECT_TRUE(server->expectLines(Stream::Out, {"Client ID 2 disconnected", "number of clients: 2"}));
    EXPECT_BYTES(bob->recvFrame(), pkt::chat("You were kicked"));
    EXPECT_TRUE(bob->waitForClose());
    EXPECT_BYTES(alice->recvFrame(), pkt::playerLeft(2));
    EXPECT_BYTES(carol->recvFrame(), pkt::playerLeft(2));

    server->type("kick 1");
    EXPECT_TRUE(server->expectLines(Stream::Out, {"Client ID 1 disconnected", "number of clients: 1"}));
    EXPECT_BYTES(alice->recvFrame(), pkt::chat("You were kicked"));
    EXPECT_TRUE(alice->waitForClose());
    EXPECT_BYTES(carol->recvExactly(6), pkt::cat({pkt::playerLeft(1), pkt::hostAssigned(3)}));

    // The new host's song choice counts.
    carol->send(pkt::songSelected(4, "After the kick", 0, 0, 0));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "song set to After the kick"));
    EXPECT_TRUE(server->lines(Stream::Err).empty());
}

// A say to a player whose socket takes only part of it: the rest goes out as
// soon as the socket can take it, without waiting for other traffic.
TEST(e2eConsole, WhatASocketLeftOverOfASayGoesOutWhenItCanTakeIt) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    auto slow = join(*server, std::make_unique<Client>(server->port(), "127.0.0.1", 2048), "slow", {});
    // The player does not read for a while: its buffers fill, and the rest
    // is dropped.
    const int says = 300;
    for (int i = 0; i < says; ++i) server->type("say m" + std::to_string(i));
    ASSERT_TRUE(server->waitForLine(Stream::Out, "Server: m" + std::to_string(says - 1)));
    ASSERT_TRUE(server->waitForLine(Stream::Err, "Send buffer to small, packet was dropped."));

    // Now it reads: what was not dropped arrives whole and in order.
    std::vector<int> got;
    Bytes f;
    while (slow->nextFrame(f, 500ms)) {
        ASSERT_EQ(f.size(), 502u);
        got.push_back(std::atoi(reinterpret_cast<const char*>(&f[3])));
        if (got.size() > 1) {
            EXPECT_GT(got.back(), got[got.size() - 2]);
        }
    }
    slow->close();
    long dropped = 0;
    EXPECT_TRUE(server->waitUntil(Stream::Err, [&](const std::vector<std::string>& lines) {
        dropped = 0;
        for (const auto& line : lines) {
            long n = 0;
            if (line == "Send buffer to small, packet was dropped.") ++dropped;
            if (std::sscanf(line.c_str(), "Send buffer to small, %ld more packets were dropped.", &n) == 1) dropped += n;
        }
        return dropped + static_cast<long>(got.size()) >= says;
    }));
    EXPECT_EQ(dropped + static_cast<long>(got.size()), says) << got.size() << " arrived";
}

// The close of a kicked player is the network thread's: a kick does not
// disturb the others' traffic.
TEST(e2eConsole, KickDuringAStreamBetweenOthersDisturbsNobody) {
    auto server = Server::start();
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    auto bob = join(*server, "bob", {alice.get()});
    auto carol = join(*server, "carol", {alice.get(), bob.get()});

    constexpr int kFrames = 500;
    std::thread stream([&] {
        for (int i = 0; i < kFrames; ++i) {
            alice->send(pkt::frame(6, pkt::i32(i), 0x66));
            std::this_thread::sleep_for(1ms);  // paces the stream
        }
    });
    int next = 0, left = 0;
    Bytes f;
    while (next < kFrames && bob->nextFrame(f, kWait)) {
        if (f[1] == 12) {
            EXPECT_BYTES(f, pkt::playerLeft(3));
            ++left;
            continue;
        }
        ASSERT_EQ(pkt::hex(f), pkt::hex(pkt::frame(6, pkt::i32(next), 0x66)));
        if (++next == 50) server->type("kick 3");
    }
    stream.join();
    EXPECT_EQ(next, kFrames);
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Client ID 3 disconnected"));
    // carol had the stream too, up to the notice.
    while (carol->nextFrame(f, kWait) && f[1] == 6) {
    }
    EXPECT_BYTES(f, pkt::chat("You were kicked"));
    EXPECT_TRUE(carol->waitForClose());
    if (left == 0) {
        EXPECT_BYTES(bob->recvFrame(), pkt::playerLeft(3));
    }
    EXPECT_TRUE(server->lines(Stream::Err).empty());
}

}  // namespace
}  // namespace e2e
