// End-to-end harness: the driver (tests/driver/) as the tests see it, through
// GoogleTest. It runs the real gameserver binary, types on its console, reads
// what it prints and speaks the game protocol to it over TCP; what the driver
// reports as a failure fails the test here.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client.h"
#include "packets.h"
#include "process.h"
#include "process_info.h"
#include "program_copy.h"
#include "timing.h"

namespace e2e {

using driver::Bytes;
using driver::freePort;
using driver::kWait;
using driver::Ms;
using driver::Stream;
using driver::threadInPipeWrite;
using namespace std::chrono_literals;
namespace pkt = driver::pkt;

// The command that starts the server: the words of GAMESERVER_COMMAND
// (blank-separated, e.g. "/usr/lib/wine/wine64 /abs/build-mingw/gameserver.exe"),
// or else the Linux binary built beside the tests.
const std::vector<std::string>& serverCommand();
// The server under test is the Windows binary (a command word ends in
// ".exe"). Tests that read what only Linux shows, or send what Wine does not
// pass on, skip or adapt for it.
bool serverIsWindows();
// The stop signal the server's platform turns into a stop: SIGTERM for the
// Linux binary; SIGINT (Ctrl+C) for the Windows one, as Wine ends a Windows
// process on SIGTERM without telling it.
int stopSignal();

// The server process. At its end, a sanitizer's report on its standard error
// fails the test, and the last lines of a failed test's server are printed.
class Process : public driver::Process {
public:
    // The server's command (serverCommand() where none is given) with these
    // arguments, with environment entries ("NAME=value") added to the test's
    // own, and with descriptors of the test's (ours, its number there).
    explicit Process(const std::vector<std::string>& args, const std::vector<std::string>& command = {},
                     const std::vector<std::string>& environment = {},
                     const std::vector<std::pair<int, int>>& descriptors = {});
    ~Process() override;

    // The next lines after the cursor are exactly these.
    ::testing::AssertionResult expectLines(Stream s, const std::vector<std::string>& expected, Ms timeout = kWait);
};

// A server started with -onlylan on a free port, listening.
class Server : public Process {
public:
    int port() const { return port_; }
    // Starts "-onlylan -port P" followed by the extra arguments and waits
    // for "Waiting for connections on port P".
    // The command, environment entries and descriptors as for Process.
    static std::unique_ptr<Server> start(const std::vector<std::string>& extra = {},
                                         const std::vector<std::string>& command = {},
                                         const std::vector<std::string>& environment = {},
                                         const std::vector<std::pair<int, int>>& descriptors = {});
    // A server started with exactly these arguments, to be reached on this port.
    Server(const std::vector<std::string>& args, int port, const std::vector<std::string>& command = {},
           const std::vector<std::string>& environment = {},
           const std::vector<std::pair<int, int>>& descriptors = {})
        : Process(args, command, environment, descriptors), port_(port) {}

private:
    int port_ = 0;
};

// A copy of the server's program in a folder of the test's own.
class ProgramCopy : public driver::ProgramCopy {
public:
    ProgramCopy();
    // The server's command, run from the copy.
    std::vector<std::string> command() const;
    // The path as the server names it: a Windows path under Wine.
    std::string shownPath() const;
};

// Asks the server to upgrade: SIGUSR2 on Linux; on Windows the request from
// another window, "gameserver.exe -upgrade PORT", which must be taken.
void requestUpgrade(Server& server);

// Waits for an upgrade's two lines, both within the time; the second comes back.
std::optional<std::string> upgraded(Process& server, const ProgramCopy& program, Ms timeout = kWait);

// The processes (POSIX IDs) whose command line names this port with
// "-port": the server, and on Windows its keeper too.
std::vector<int> processesOnPort(int port);

// A game client's connection; one that cannot connect fails the test.
class Client : public driver::Client {
public:
    explicit Client(int port) : Client(port, "") {}
    Client(int port, const std::string& sourceAddress, int receiveBuffer = 0);
    // A failed send fails the test unless the caller expects failures.
    bool send(const Bytes& bytes, bool mustSucceed = true);
};

// Logs a player in and takes its welcome up to its LobbyValue off its stream
// (a waiting notice, sent while a song runs, stays there); the players already
// in get one PlayerInfo each about it, which is taken off theirs. Waits for
// the console's "connected." line.
std::unique_ptr<Client> join(Server& server, const std::string& name, const std::vector<Client*>& others);
// The same with a connection made by the caller.
std::unique_ptr<Client> join(Server& server, std::unique_ptr<Client> client, const std::string& name,
                             const std::vector<Client*>& others);

// The socket handle in the server's "Accepted connection" line for a client.
std::string acceptedSocket(const Process& server, const Client& client);

// A Relay8 frame with lead byte 0x5A from one client: every other client gets
// it next, so whatever it got before has come in by then. Checks that each of
// them gets it as its very next frame.
void barrier(Client& from, const std::vector<Client*>& others);

}  // namespace e2e

#define EXPECT_BYTES(got, want) EXPECT_EQ(::e2e::pkt::hex(got), ::e2e::pkt::hex(want))
