// End-to-end harness: runs the real gameserver binary, types on its console,
// reads what it prints, and speaks the game protocol to it over TCP.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using Bytes = std::vector<std::uint8_t>;
using Ms = std::chrono::milliseconds;
using namespace std::chrono_literals;

// Waits return as soon as their condition holds, so the limits can be
// generous: a ThreadSanitizer build runs several times slower.
inline constexpr Ms kWait{15000};

enum class Stream { Out, Err };

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

// The server process with its three standard streams.
class Process {
public:
    // The server's command (serverCommand() where none is given) with these
    // arguments, and with environment entries ("NAME=value") added to the
    // test's own.
    explicit Process(const std::vector<std::string>& args, const std::vector<std::string>& command = {},
                     const std::vector<std::string>& environment = {});
    virtual ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // Types one console line (the line end is added), or text without a line end.
    void type(const std::string& line);
    void typePart(const std::string& text);
    // Bytes typed that the server has not read yet.
    std::size_t unreadInput() const;
    void closeInput();
    void signal(int sig);
    // Exit code once the process has ended by itself within the time.
    std::optional<int> waitForExit(Ms timeout = kWait);
    // Entries of /proc/PID/fd. For the Windows binary under Wine these are
    // the Unix descriptors the Wine process holds, one for each open socket.
    int openHandles() const;
    // Lowers the process's open-file limit so that it can open no further
    // handle (the lowest free handle number becomes the limit); false where
    // that cannot be done.
    bool refuseNewHandles();

    std::vector<std::string> lines(Stream s) const;
    // Waits until the whole output of a stream satisfies the condition.
    bool waitUntil(Stream s, const std::function<bool(const std::vector<std::string>&)>& done, Ms timeout = kWait);

    // Each stream has a cursor: the searches below start there and move it
    // past the line they find, so successive waits check the order too.
    bool waitForLine(Stream s, const std::string& text, Ms timeout = kWait);
    std::optional<std::string> waitForLineStartingWith(Stream s, const std::string& prefix, Ms timeout = kWait);
    // The next lines after the cursor are exactly these.
    ::testing::AssertionResult expectLines(Stream s, const std::vector<std::string>& expected, Ms timeout = kWait);
    // Moves the cursor past every line read so far.
    void skipSeen(Stream s);
    // Stops taking the stream's output, so that its pipe fills up and the
    // server's writes to it block, as with a paused terminal; and takes it
    // again. The end of the test takes it again by itself.
    // Pausing takes effect at once: nothing more is read until the resume.
    void pauseReading(Stream s);
    void resumeReading(Stream s);
    // The stream is paused and the server waits to write to it: its pipe
    // holds bytes and has no room for the server's next write, on which a
    // thread of the server sleeps (threadInPipeWrite).
    bool outputStalled(Stream s) const;

private:
    std::optional<std::string> waitForMatch(Stream s, const std::function<bool(const std::string&)>& match, Ms timeout);
    struct Output {
        std::vector<std::string> lines;
        std::string partial;
        std::size_t cursor = 0;
        bool closed = false;
        bool paused = false;
        int fd = -1;  // the pipe's read end, until it is closed
    };
    void readLoop(Output& out);
    Output& out(Stream s) { return s == Stream::Out ? stdout_ : stderr_; }
    const Output& out(Stream s) const { return s == Stream::Out ? stdout_ : stderr_; }

    pid_t pid_ = -1;
    bool reaped_ = false;
    int exitStatus_ = 0;
    int stdin_ = -1;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Output stdout_;
    Output stderr_;
    std::thread outReader_;
    std::thread errReader_;
};

// A server started with -onlylan on a free port, listening.
class Server : public Process {
public:
    int port() const { return port_; }
    // Starts "-onlylan -port P" followed by the extra arguments and waits
    // for "Waiting for connections on port P".
    // The command and environment entries as for Process.
    static std::unique_ptr<Server> start(const std::vector<std::string>& extra = {},
                                         const std::vector<std::string>& command = {},
                                         const std::vector<std::string>& environment = {});
    // A server started with exactly these arguments, to be reached on this port.
    Server(const std::vector<std::string>& args, int port, const std::vector<std::string>& command = {},
           const std::vector<std::string>& environment = {})
        : Process(args, command, environment), port_(port) {}

private:
    int port_ = 0;
};

// A copy of the server's program in a folder of the test's own, for the
// upgrade in place: it is replaced as a package manager replaces it, with a
// new file renamed over the old one.
class ProgramCopy {
public:
    ProgramCopy();
    ~ProgramCopy();
    ProgramCopy(const ProgramCopy&) = delete;
    ProgramCopy& operator=(const ProgramCopy&) = delete;
    const std::string& path() const { return path_; }
    std::vector<std::string> command() const { return {path_}; }
    // A copy of source (the server's program unless given) becomes the file
    // at the path; or a script with this text and mode; or none.
    void install(const std::string& source = "");
    void installScript(const std::string& text, unsigned mode = 0755);
    void remove();

private:
    std::string dir_, path_;
};

// Whether a thread of the process sleeps in a pipe write, as the kernel names
// where each thread sleeps: 1 yes, 0 no, -1 where the kernel does not tell.
int threadInPipeWrite(pid_t pid);

// Waits for an upgrade's two lines, both within the time; the second comes back.
std::optional<std::string> upgraded(Process& server, const ProgramCopy& program, Ms timeout = kWait);

// A port nobody holds now, outside the range the system hands to outgoing
// connections.
int freePort();

// A game client's connection.
class Client {
public:
    explicit Client(int port);
    // From a given loopback source address (say "127.0.0.5"), and with a
    // receive buffer of that many bytes and small segments when
    // receiveBuffer is above 0: the server's sends to a client that does not
    // read then back up after some 50 KB.
    Client(int port, const std::string& sourceAddress, int receiveBuffer = 0);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return fd_ >= 0; }
    int localPort() const;
    std::string localAddress() const;
    // A failed send fails the test unless the caller expects failures.
    bool send(const Bytes& bytes, bool mustSucceed = true);
    // Exactly n bytes, or fewer if the time runs out or the peer closes.
    Bytes recvExactly(std::size_t n, Ms timeout = kWait);
    // The next whole frame within the time, its length taken from the packet
    // id; bytes of an incomplete frame stay buffered. An id without a length
    // comes back as its two bytes.
    bool nextFrame(Bytes& frame, Ms timeout);
    // The same, empty if no whole frame came in time.
    Bytes recvFrame(Ms timeout = kWait);
    bool closed() const { return peerClosed_ || fd_ < 0; }
    // True if nothing arrives (and the connection stays open) for a while.
    bool expectNothingMore(Ms quiet = 150ms);
    // True once the peer has closed; bytes that came before stay readable.
    bool waitForClose(Ms timeout = kWait);
    void shutdownSend();
    void close();
    // Closes with a reset instead of the orderly end.
    void reset();

private:
    void open(int port, const std::string& sourceAddress, int receiveBuffer);
    // Reads what is there within the time; false on close or error.
    bool fill(Ms timeout);
    int fd_ = -1;
    bool peerClosed_ = false;
    Bytes buffered_;
};

// The game protocol as a client sees it.
namespace pkt {

inline constexpr std::uint16_t kLengths[22] = {29, 29, 2, 501, 2,  133, 5, 6, 1, 2, 71,
                                               73, 2,  2, 2,   81, 2,   5, 5, 1, 1, 2};
// Lead byte plus packet; 0 for ids without a length.
std::size_t frameLength(std::uint8_t id);

Bytes text(const std::string& s, std::size_t width);
Bytes i32(std::int32_t v);
// A frame: lead byte, id, payload zero-filled to the id's length.
Bytes frame(std::uint8_t id, const Bytes& payload = {}, std::uint8_t lead = 0);
Bytes cat(std::initializer_list<Bytes> parts);

Bytes hello(const std::string& name, const std::string& password = "", float version = 0.9f);
Bytes chat(const std::string& text, std::uint8_t lead = 0);
Bytes songSelected(std::int32_t songId, const std::string& name, std::int32_t arg1, std::int32_t arg2,
                   std::int32_t arg3, std::uint8_t lead = 0);
Bytes scoreReport(double score, std::int32_t numerator, std::int32_t denominator, std::uint8_t lead = 0);
Bytes helloReply(std::uint8_t id, std::uint8_t status, const std::string& name);
Bytes playerInfo(std::uint8_t id, const std::string& name, std::uint8_t gated, std::uint8_t songFlag,
                 std::uint8_t isHost, std::int32_t value);
Bytes hostAssigned(std::uint8_t id);
Bytes playerLeft(std::uint8_t id);
Bytes lobbyValue(std::int32_t value);
Bytes byteValue(std::uint8_t id, std::uint8_t value, std::uint8_t lead = 0);

std::string hex(const Bytes& b);

}  // namespace pkt

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
