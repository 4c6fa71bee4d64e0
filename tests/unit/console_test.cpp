// The command line's values and the list host from the environment; how
// options are scanned is shown end to end. What an upgrade carries of the
// console's unread input, where more is waiting than it carries.
#include "console/options.h"
#include "streams/console_reader.h"
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

TEST(StartOptions, DefaultsNumbersAndNames) {
    StartOptions defaults = scan({});
    EXPECT_STREQ(defaults.name, "Kav server");
    EXPECT_EQ((std::vector<int>{defaults.port, defaults.maxPlayers, defaults.onlylan}), (std::vector<int>{50505, 4, 0}));
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

TEST(ConsoleInput, AnUpgradeCarriesWholeLinesUpToItsLimit) {
    ConsoleReader reader;
    std::size_t leftOut = 0;
    bool skip = true;
    reader.pending = "say one\nsay two\nsay thr";
    EXPECT_EQ(inputToCarry(reader, 64, &leftOut, &skip), "say one\nsay two\nsay thr");
    EXPECT_EQ(leftOut, 0u);
    EXPECT_FALSE(skip);
    // Beyond the limit: the whole lines within it, and the rest of the line
    // cut is passed over; a cut at a line end leaves nothing to pass over.
    EXPECT_EQ(inputToCarry(reader, 20, &leftOut, &skip), "say one\nsay two\n");
    EXPECT_EQ(leftOut, 7u);
    EXPECT_TRUE(skip);
    EXPECT_EQ(inputToCarry(reader, 8, &leftOut, &skip), "say one\n");
    EXPECT_EQ(leftOut, 15u);
    reader.pending = "say one\nsay two\n";
    EXPECT_EQ(inputToCarry(reader, 12, &leftOut, &skip), "say one\n");
    EXPECT_FALSE(skip);
    // A line end just past the limit is beyond it: its line is not carried.
    EXPECT_EQ(inputToCarry(reader, 7, &leftOut, &skip), "");
    EXPECT_EQ(leftOut, 16u);
    reader.pending = std::string(30, 'x');
    EXPECT_EQ(inputToCarry(reader, 20, &leftOut, &skip), "");
    EXPECT_EQ(leftOut, 30u);
    EXPECT_TRUE(skip);
    // A line already to be passed over is not carried, and its end clears
    // the mark.
    reader.skipToLineEnd = true;
    reader.pending = "rest of a long line\nsay on";
    EXPECT_EQ(inputToCarry(reader, 64, &leftOut, &skip), "say on");
    EXPECT_FALSE(skip);
    reader.pending = "still the long line";
    EXPECT_EQ(inputToCarry(reader, 64, &leftOut, &skip), "");
    EXPECT_TRUE(skip);
}
