// The upgrade bench's server command: which words run the server, which one
// is the program it copies, and whether that is the Windows build.
#include <gtest/gtest.h>

#include "server_command.h"

namespace {

using Words = std::vector<std::string>;

TEST(BenchCommand, ALinuxPathIsTheProgramAlone) {
    ServerCommand c;
    ASSERT_TRUE(parseCommand("./build/gameserver", c));
    EXPECT_EQ(c.words, Words{"./build/gameserver"});
    EXPECT_FALSE(c.windows);
    EXPECT_TRUE(c.loader().empty());
    EXPECT_EQ(c.runFrom("/tmp/x/gameserver", {"-port", "5"}), (Words{"/tmp/x/gameserver", "-port", "5"}));
}

TEST(BenchCommand, TheWindowsProgramIsTheLastWordAfterItsLoader) {
    ServerCommand c;
    ASSERT_TRUE(parseCommand("  /w/scripts/wine-run \t--exec   /w/build-mingw/gameserver.exe ", c));
    EXPECT_EQ(c.words, (Words{"/w/scripts/wine-run", "--exec", "/w/build-mingw/gameserver.exe"}));
    EXPECT_TRUE(c.windows);
    EXPECT_EQ(c.program(), "/w/build-mingw/gameserver.exe");
    EXPECT_EQ(c.loader(), (Words{"/w/scripts/wine-run", "--exec"}));
    // Only the program moves; the loader's words stay as they were.
    EXPECT_EQ(c.runFrom("/tmp/b/gameserver.exe", {"-upgrade", "50505"}),
              (Words{"/w/scripts/wine-run", "--exec", "/tmp/b/gameserver.exe", "-upgrade", "50505"}));
    EXPECT_EQ(c.words.back(), "/w/build-mingw/gameserver.exe");
}

TEST(BenchCommand, OnlyANameEndingInExeInAnyCaseIsWindows) {
    ServerCommand c;
    ASSERT_TRUE(parseCommand("wine64 GAMESERVER.EXE", c));
    EXPECT_TRUE(c.windows);
    for (const char* text :
         {"gameserver.exe.new", "exe", ".ex", "/opt/exe/gameserver", "gameserver.exe ./gameserver"}) {
        ASSERT_TRUE(parseCommand(text, c)) << text;
        EXPECT_FALSE(c.windows) << text;
    }
}

TEST(BenchCommand, BlanksAloneAreNoCommand) {
    ServerCommand c;
    ASSERT_TRUE(parseCommand("wine64 gameserver.exe", c));
    EXPECT_FALSE(parseCommand("", c));
    EXPECT_FALSE(parseCommand(" \t ", c));
    EXPECT_TRUE(c.words.empty());
    EXPECT_FALSE(c.windows);
}

}  // namespace
