// The command line and the operator's console commands.
#include "console/commands.h"
#include "console/options.h"
#include "server/protocol/departures.h"
#include "unit_support.h"

using namespace test;

namespace {

StartOptions scan(std::vector<const char*> args) {
    args.insert(args.begin(), "gameserver");
    StartOptions options;
    scanOptions(static_cast<int>(args.size()), args.data(), options);
    return options;
}

}  // namespace

TEST(StartOptions, DefaultsAndExactOptionWords) {
    OutputCapture output;
    StartOptions o = scan({});
    EXPECT_STREQ(o.name, "Kav server");
    EXPECT_EQ((std::vector<int>{o.port, o.maxPlayers, o.onlylan}), (std::vector<int>{50505, 4, 0}));
    EXPECT_TRUE(output.out().empty());

    o = scan({"-port", "6000", "-verbose", "-onlylan", "-Port", "7", "-onlylanX", "-onlylan", "-maxplayers", "8",
              "-maxplayers", "2", "-name", "-port"});
    EXPECT_EQ((std::vector<int>{o.port, o.maxPlayers, o.onlylan}), (std::vector<int>{6000, 2, 1}));
    EXPECT_STREQ(o.name, "-port");  // a value is taken verbatim
    EXPECT_EQ(output.out(), (Lines{"Command -verbose not recognized", "Command -Port not recognized",
                                   "Command 7 not recognized", "Command -onlylanX not recognized"}));
}

TEST(StartOptions, NumbersAndNames) {
    EXPECT_EQ(scan({"-port", "70000"}).port, 70000);
    EXPECT_EQ(scan({"-port", " +12abc"}).port, 12);
    EXPECT_EQ(scan({"-maxplayers", "many"}).maxPlayers, 0);
    for (auto [text, kept] : {std::pair{"100", 100}, {"300", 44}, {"-1", 255}}) {
        std::unique_ptr<GameServer> server(createServer("s", 1, scan({"-maxplayers", text}).maxPlayers));
        EXPECT_EQ(server->maxPlayers.load(), kept) << text;
    }
    EXPECT_STREQ(scan({"-name", "my fine server"}).name, "my fine server");
    std::string longName(70, 'n');
    EXPECT_EQ(std::string(scan({"-name", longName.c_str()}).name), std::string(63, 'n'));
}

TEST(StartOptions, OptionWithoutItsValueIsReportedAndSkipped) {
    for (const char* option : {"-port", "-maxplayers", "-name"}) {
        OutputCapture output;
        StartOptions o = scan({"-onlylan", option});
        EXPECT_EQ(output.out(), Lines{std::string("Command ") + option + " not recognized"});
        EXPECT_EQ((std::vector<int>{o.port, o.maxPlayers, o.onlylan}), (std::vector<int>{50505, 4, 1}));
        EXPECT_STREQ(o.name, "Kav server");
    }
}

TEST(StartOptions, ListHostFromTheEnvironment) {
    OutputCapture output;
    const char* builtIn = "masterlist.example.net";
    EXPECT_STREQ(chooseMasterHost(nullptr, builtIn), builtIn);
    EXPECT_STREQ(chooseMasterHost("", builtIn), builtIn);
    EXPECT_STREQ(chooseMasterHost("127.0.0.1", builtIn), "127.0.0.1");
    EXPECT_STREQ(chooseMasterHost("List-2.Example.org", builtIn), "List-2.Example.org");
    std::string longest(1023, 'h');
    EXPECT_EQ(chooseMasterHost(longest.c_str(), builtIn), longest.c_str());
    EXPECT_TRUE(output.err().empty());

    // Nothing of a bad value reaches a request, and its line cannot start a
    // console line of its own.
    std::string tooLong(1024, 'h');
    for (const char* bad : {tooLong.c_str(), "list.example.org/x", "a b", "host\r\nX: y", "l\xC3\xAFst", "_"})
        EXPECT_STREQ(chooseMasterHost(bad, builtIn), builtIn) << bad;
    EXPECT_EQ(output.err(),
              (Lines{"GAMESERVER_MASTER_HOST is too long (1024 characters, at most 1023), the list host stays "
                     "masterlist.example.net.",
                     "GAMESERVER_MASTER_HOST \"list.example.org/x\" is no host name (character 17; letters, digits, "
                     "'-' and '.' only), the list host stays masterlist.example.net.",
                     "GAMESERVER_MASTER_HOST \"a b\" is no host name (character 2; letters, digits, '-' and '.' "
                     "only), the list host stays masterlist.example.net.",
                     "GAMESERVER_MASTER_HOST \"host??X: y\" is no host name (character 5; letters, digits, '-' and "
                     "'.' only), the list host stays masterlist.example.net.",
                     "GAMESERVER_MASTER_HOST \"l\xC3\xAFst\" is no host name (character 2; letters, digits, '-' and "
                     "'.' only), the list host stays masterlist.example.net.",
                     "GAMESERVER_MASTER_HOST \"_\" is no host name (character 1; letters, digits, '-' and '.' "
                     "only), the list host stays masterlist.example.net."}));
}

class Console : public ServerFixture {
protected:
    Lines run(const std::string& line, bool goesOn = true) {
        output.clear();
        EXPECT_EQ(handleConsoleLine(*server, line), goesOn) << line;
        return output.out();
    }
};

TEST_F(Console, LinesAreRecognisedByTheirExactBeginning) {
    Lines help = run("help");
    EXPECT_EQ(help.size(), 14u);
    EXPECT_EQ(help.at(3), "maxplayers x\t\t\tset maximum number of players to x");
    EXPECT_EQ(run("helpme"), help);
    EXPECT_EQ(run("players please"), Lines{"No players connected"});
    for (const char* line : {"exi", "HELP", " help", "maxplayers", "say", "kick", "hello"})
        EXPECT_EQ(run(line), Lines{"Unknown command, type 'help' to get list of supported commands."}) << line;
    EXPECT_TRUE(run("").empty());
    for (const char* line : {"exit", "exit now", "exitfoo"}) EXPECT_TRUE(run(line, false).empty()) << line;
}

TEST_F(Console, MaxPlayersReadsTwoCharactersAndClampsTo63) {
    EXPECT_EQ(run("maxplayers 8"), Lines{"Maxplayers set to 8"});
    EXPECT_EQ(run("maxplayers 99"), Lines{"Maxplayers set to 63"});
    EXPECT_EQ(run("maxplayers 100"), Lines{"Maxplayers set to 10"});
    for (const char* line : {"maxplayers 0", "maxplayers -5", "maxplayers ab", "maxplayers "})
        EXPECT_TRUE(run(line).empty()) << line;
    EXPECT_EQ(server->maxPlayers.load(), 10);
}

TEST_F(Console, PlayersListsEveryRecordInTableOrder) {
    addClient("alice", true);
    addClient("gone", true);
    addClient();  // not logged in: no name yet
    addClient("tab\there", true);
    netClose(client(1).sock);
    removeClientAt(*server, 1);
    EXPECT_EQ(run("players"), (Lines{"", "ID\tName", "-------------------------------", "1\talice", "3\t", "4\ttab?here"}));
}

TEST_F(Console, SaySendsTheTextToEveryClientAndEchoesIt) {
    std::size_t a = addClient("a", true), b = addClient();
    EXPECT_EQ(run("say hello all"), Lines{"Server: hello all"});
    for (std::size_t i : {a, b}) {
        std::vector<Bytes> frames = framesSent(i);
        ASSERT_EQ(frames.size(), 1u);
        ASSERT_EQ(frames[0].size(), 502u);
        EXPECT_EQ(frames[0][1], kChatText);
        EXPECT_EQ(textField(&frames[0][2], kChatTextSize), "hello all");
    }
    std::string text(600, ' ');
    for (std::size_t k = 0; k < text.size(); ++k) text[k] = static_cast<char>('a' + k % 26);
    EXPECT_EQ(run("say " + text), Lines{"Server: " + text.substr(0, 500)});
    Bytes frame = framesSent(a).at(0);
    EXPECT_EQ(std::string(frame.begin() + 2, frame.end()), text.substr(0, 500));

    EXPECT_TRUE(run("say ").empty());
    EXPECT_TRUE(framesSent(a).empty());
}

TEST_F(Console, KickReadsTwoCharactersOfTheId) {
    for (int k = 1; k < 12; ++k) allocateClientId(*server);
    std::size_t twelve = addClient("twelve", true);
    for (const char* line : {"kick 0", "kick -1", "kick ab", "kick "}) EXPECT_TRUE(run(line).empty()) << line;
    EXPECT_EQ(run("kick 5"), Lines{"Client with ID 5 not found"});
    // The network thread carries the kick out.
    EXPECT_TRUE(run("kick 123").empty());
    EXPECT_EQ(run("kick 12"), Lines{"Client with ID 12 not found"});
    std::lock_guard<std::mutex> table(server->tableLock);
    output.clear();
    carryOutKicks(*server);
    EXPECT_EQ(output.out(), (Lines{"Client ID 12 disconnected", "number of clients: 0"}));
    EXPECT_EQ(textField(&readFrame(peer(twelve))[2], kChatTextSize), "You were kicked");
    EXPECT_TRUE(readsEnd(peer(twelve)));
}
