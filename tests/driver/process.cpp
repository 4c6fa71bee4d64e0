#include "process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "client.h"
#include "process_info.h"

extern char** environ;

namespace driver {

namespace {

// Signals the process gets the default handling of, whatever ours is.
constexpr int kDefaultSignals[] = {SIGPIPE, SIGINT, SIGTERM, SIGUSR2};

// Copies of descriptors given on are put this high first, so that putting
// one at its number never overwrites another still to be put.
constexpr int kAboveTargets = 200;

int spawn(char* const* argv, char* const* env, const int in[2], const int out[2], const int err[2],
          const std::vector<std::pair<int, int>>& descriptors, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<int> high;
    for (const auto& [ours, theirs] : descriptors) {
        high.push_back(::fcntl(ours, F_DUPFD_CLOEXEC, kAboveTargets));
        posix_spawn_file_actions_adddup2(&actions, high.back(), theirs);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : kDefaultSignals) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv, env);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    for (int f : high) ::close(f);
    return rc;
}

// The child of fork runs only async-signal-safe calls until it runs the
// program.
int forkEndingWithUs(char* const* argv, char* const* env, const int in[2], const int out[2], const int err[2],
                     pid_t& pid) {
    const pid_t parent = ::getpid();
    pid = ::fork();
    if (pid < 0) return errno;
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : kDefaultSignals) ::signal(sig, SIG_DFL);
        ::execve(argv[0], argv, env);
        ::_exit(127);
    }
    return 0;
}

}  // namespace

Process::Process(const std::vector<std::string>& commandLine, const Options& options) {
    ignoreBrokenPipes();
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        startFailure_ = std::string("pipe2: ") + std::strerror(errno);
        return;
    }
    std::vector<std::string> words = commandLine;
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<std::string> added = options.environment;
    std::vector<char*> env;
    for (char** e = environ; *e; ++e) env.push_back(*e);
    for (auto& e : added) env.push_back(e.data());
    env.push_back(nullptr);
    int rc = options.endsWithUs ? forkEndingWithUs(argv.data(), env.data(), in, out, err, pid_)
                                : spawn(argv.data(), env.data(), in, out, err, options.descriptors, pid_);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        startFailure_ = "cannot start " + words[0] + ": " + std::strerror(rc);
        pid_ = -1;
        reaped_ = true;
    }
    stdin_ = in[1];
    out_.start(out[0], options.onOut);
    err_.start(err[0], options.onErr);
}

Process::~Process() { finish(); }

void Process::finish() {
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &waitStatus_, 0);
        reaped_ = true;
    }
    closeInput();
    out_.join();
    err_.join();
}

bool Process::type(const std::string& line) { return typePart(line + "\n"); }

bool Process::typePart(const std::string& text) {
    std::size_t done = 0;
    while (stdin_ >= 0 && done < text.size()) {
        ssize_t n = ::write(stdin_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done == text.size();
}

std::size_t Process::unreadInput() const {
    int n = 0;
    return stdin_ >= 0 && ::ioctl(stdin_, FIONREAD, &n) == 0 ? static_cast<std::size_t>(n) : 0;
}

void Process::closeInput() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
}

void Process::signal(int sig) {
    if (!reaped_) ::kill(pid_, sig);
}

std::optional<int> Process::waitForExit(Ms timeout) {
    auto end = Clock::now() + timeout;
    while (!reaped_) {
        pid_t r = ::waitpid(pid_, &waitStatus_, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            break;
        }
        if (Clock::now() >= end) return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
    // Let the readers take the last lines (of the streams they read).
    out_.waitUntilEndedOrPaused(end + 5s);
    err_.waitUntilEndedOrPaused(end + 5s);
    return WIFEXITED(waitStatus_) ? WEXITSTATUS(waitStatus_) : 128 + WTERMSIG(waitStatus_);
}

int Process::openHandles() const { return openDescriptors(pid_); }

bool Process::refuseNewHandles() { return driver::refuseNewHandles(pid_); }

bool Process::waitForLine(Stream s, const std::string& text, Ms timeout) {
    return output(s).waitForMatch([&](const std::string& l) { return l == text; }, timeout).has_value();
}

std::optional<std::string> Process::waitForLineStartingWith(Stream s, const std::string& prefix, Ms timeout) {
    return output(s).waitForMatch([&](const std::string& l) { return l.compare(0, prefix.size(), prefix) == 0; },
                                  timeout);
}

bool Process::outputStalled(Stream s) const {
    const ConsoleLines& o = output(s);
    return o.paused() && o.unread() > 0 && threadInPipeWrite(pid_) == 1;
}

int freePort() {
    static std::atomic<int> next{0};
    int base = 20000 + static_cast<int>(::getpid()) * 131 % 12000;
    for (int tries = 0; tries < 12000; ++tries) {
        int port = 20000 + (base - 20000 + next.fetch_add(17)) % 12000;
        int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        bool free = ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(s);
        if (free) return port;
    }
    return 0;
}

Listening waitUntilListening(Process& server, int port, Ms timeout) {
    const std::string waiting = "Waiting for connections on port " + std::to_string(port);
    bool told = server.waitUntil(
        Stream::Out,
        [&](const std::vector<std::string>& lines) {
            for (const auto& l : lines)
                if (l == waiting || l.rfind("establish listener", 0) == 0) return true;
            return false;
        },
        timeout);
    if (!told) return Listening::No;
    return server.waitForLine(Stream::Out, waiting, 0ms) ? Listening::Yes : Listening::PortTaken;
}

}  // namespace driver
