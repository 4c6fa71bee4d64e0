// The packaged server as its socket unit runs it: standard input is a FIFO
// that stays open for reading and writing (systemd holds it), and operators
// write one command at a time into it, each writer opening and closing it.
// Started by check_deb.sh, which unpacks the .deb and names the program and
// the FIFO in GAMESERVER_PACKAGED_BIN and GAMESERVER_CONSOLE_FIFO.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "harness.h"

namespace e2e {
namespace {

// What `echo "LINE" > FIFO` does.
bool echoInto(const std::string& fifo, const std::string& line) {
    int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string text = line + "\n";
    bool whole = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return whole;
}

TEST(PackagedServer, ConsoleFifoTakesCommandsFromSuccessiveWritersAndSigtermStopsCleanly) {
    const char* fifo = std::getenv("GAMESERVER_CONSOLE_FIFO");
    if (!fifo || !std::getenv("GAMESERVER_PACKAGED_BIN")) GTEST_SKIP() << "run by check_deb.sh";
    auto server = Server::start();
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    ASSERT_TRUE(alice->connected());

    ASSERT_TRUE(echoInto(fifo, "players"));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "1\talice"));

    // The first writer has closed the FIFO; the console reads on.
    ASSERT_TRUE(echoInto(fifo, "say Restart in 5 minutes"));
    EXPECT_BYTES(alice->recvFrame(), pkt::chat("Restart in 5 minutes"));

    server->signal(SIGTERM);
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Stopping server..."));
    EXPECT_EQ(server->waitForExit(), 0);
}

}  // namespace
}  // namespace e2e
