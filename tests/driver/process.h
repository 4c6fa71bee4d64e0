// The server as a child process with its three standard streams on pipes:
// its console is typed on, its output read line by line (ConsoleLines), and
// it is signalled and waited for. The command is a parameter, so the same
// code drives the Linux binary and the Windows one under Wine.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "console_lines.h"
#include "timing.h"

namespace driver {

class Process {
public:
    struct Options {
        // Entries ("NAME=value") added to our own environment.
        std::vector<std::string> environment;
        // The process gets SIGKILL should the thread that starts it end
        // without stopping it (until the process runs another program from a
        // thread of its own, which does not carry the setting). Started with
        // fork and execve, so the command's first word is a path; the child
        // makes only async-signal-safe calls until the program runs.
        bool endsWithUs = false;
        // Told of each line of standard output and of standard error.
        ConsoleLines::Observer onOut, onErr;
        // Descriptors of ours the process gets, each at the number given
        // (ours, its number there), as a program that hands its descriptors
        // on leaves them. Not with endsWithUs.
        std::vector<std::pair<int, int>> descriptors;
    };

    // The command line: the program (a bare name is looked up on PATH) and
    // its arguments. The process starts with the signal handling of a fresh
    // one, whatever ours is.
    explicit Process(const std::vector<std::string>& commandLine, const Options& options);
    virtual ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Whether it could be started, and why not.
    bool started() const { return startFailure_.empty(); }
    const std::string& startFailure() const { return startFailure_; }
    pid_t pid() const { return pid_; }

    // Types one console line (the line end is added), or text without a line
    // end; false where the input could not take all of it.
    bool type(const std::string& line);
    bool typePart(const std::string& text);
    // Bytes typed that the process has not read yet.
    std::size_t unreadInput() const;
    void closeInput();
    void signal(int sig);
    // The exit code (128 + the signal's number for a process a signal
    // ended) once the process has ended by itself within the time; and what
    // waitpid said of it.
    std::optional<int> waitForExit(Ms timeout = kWait);
    int waitStatus() const { return waitStatus_; }
    // Kills the process unless it has ended, and reads its output to the end.
    void finish();

    // Entries of /proc/PID/fd. For the Windows binary under Wine these are
    // the Unix descriptors the Wine process holds, one for each open socket.
    int openHandles() const;
    // Lowers the process's open-file limit so that it can open no further
    // handle; false where that cannot be done.
    bool refuseNewHandles();

    ConsoleLines& output(Stream s) { return s == Stream::Out ? out_ : err_; }
    const ConsoleLines& output(Stream s) const { return s == Stream::Out ? out_ : err_; }
    std::vector<std::string> lines(Stream s) const { return output(s).lines(); }
    // Waits until the whole output of a stream satisfies the condition.
    bool waitUntil(Stream s, const std::function<bool(const std::vector<std::string>&)>& done, Ms timeout = kWait) {
        return output(s).waitUntil(done, timeout);
    }
    // Each stream has a cursor: the searches below start there and move it
    // past the line they find, so successive waits check the order too.
    bool waitForLine(Stream s, const std::string& text, Ms timeout = kWait);
    std::optional<std::string> waitForLineStartingWith(Stream s, const std::string& prefix, Ms timeout = kWait);
    // Moves the cursor past every line read so far.
    void skipSeen(Stream s) { output(s).skipSeen(); }
    // Stops taking the stream's output at once, so that its pipe fills up and
    // the process's writes to it block, as with a paused terminal; and takes
    // it again. The end of the process takes it again by itself.
    void pauseReading(Stream s) { output(s).pause(); }
    void resumeReading(Stream s) { output(s).resume(); }
    // The stream is paused and the process waits to write to it: its pipe
    // holds bytes and has no room for the next write, on which a thread of the
    // process sleeps (threadInPipeWrite: with the reading paused, a pipe write
    // sleeps for want of room only). False where the kernel does not tell.
    bool outputStalled(Stream s) const;

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int waitStatus_ = 0;
    int stdin_ = -1;
    std::string startFailure_;
    ConsoleLines out_, err_;
};

// A port nobody holds now, outside the range the system hands to outgoing
// connections.
int freePort();

// Whether a server says within the time that it listens on the port: Yes;
// PortTaken where it could not establish its listener there (another
// process took the port between our look and its bind); No otherwise.
enum class Listening { Yes, PortTaken, No };
Listening waitUntilListening(Process& server, int port, Ms timeout = kWait);

// A server started by start(port) on a free port, and started again on
// another where one was taken meanwhile; null, with the reason, where none
// listened.
template <typename Started>
std::unique_ptr<Started> startListening(const std::function<std::unique_ptr<Started>(int port)>& start,
                                        std::string& failure, Ms timeout = kWait) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int port = freePort();
        auto server = start(port);
        if (!server->started()) {
            failure = server->startFailure();
            return nullptr;
        }
        Listening listening = waitUntilListening(*server, port, timeout);
        if (listening == Listening::Yes) return server;
        if (listening == Listening::No) {
            failure = "the server did not start listening";
            return nullptr;
        }
    }
    failure = "no free port found";
    return nullptr;
}

}  // namespace driver
