#include "net/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <netinet/in.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/output.h"

extern char** environ;

namespace {

// The environment's names of the two descriptors a server hands on: the
// state, to the program that takes over; the answer's pipe, to a probe.
constexpr const char* kStateVariable = "GAMESERVER_HANDOVER_FD";
constexpr const char* kProbeVariable = "GAMESERVER_HANDOVER_PROBE";
// The descriptor a probe writes its answer to.
constexpr int kProbeFd = 3;
// The name of the memory file that holds the state; the new program checks it.
constexpr const char* kStateFileName = "gameserver-state";

char** gArgv = nullptr;
std::atomic<pid_t> gProbe{0};  // a probe under way
char gPath[4096] = "";

int fd(Socket s) { return s > static_cast<Socket>(INT_MAX) ? -1 : static_cast<int>(s); }

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void setCloseOnExec(int f, bool on) {
    int flags = ::fcntl(f, F_GETFD);
    if (flags < 0) return;
    ::fcntl(f, F_SETFD, on ? (flags | FD_CLOEXEC) : (flags & ~FD_CLOEXEC));
}

bool startsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// This process's environment without the descriptors a server hands on, and
// with `extra` added.
std::vector<char*> environmentWith(char* extra) {
    std::vector<char*> env;
    std::string state = std::string(kStateVariable) + "=", probe = std::string(kProbeVariable) + "=";
    for (char** e = environ; e && *e; ++e)
        if (!startsWith(*e, state.c_str()) && !startsWith(*e, probe.c_str())) env.push_back(*e);
    env.push_back(extra);
    env.push_back(nullptr);
    return env;
}

// A descriptor number as the environment gives it: digits only, from 3 up
// (0 to 2 are the console), or -1.
int descriptorNumber(const char* text) {
    if (text[0] == 0 || std::strlen(text) > 9) return -1;
    for (const char* p = text; *p; ++p)
        if (*p < '0' || *p > '9') return -1;
    int n = std::atoi(text);
    return n >= 3 ? n : -1;
}

// The path without "." and ".." steps and doubled slashes, as the operator
// would write it.
std::string tidyPath(const std::string& path) {
    std::vector<std::string> steps;
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string step = path.substr(start, end - start);
        if (step == "..") {
            if (!steps.empty()) steps.pop_back();
        } else if (!step.empty() && step != ".") {
            steps.push_back(step);
        }
        start = end + 1;
    }
    std::string tidy;
    for (const auto& step : steps) tidy += "/" + step;
    return tidy.empty() ? "/" : tidy;
}

void putText(char* area, std::size_t size, const std::string& text) { std::snprintf(area, size, "%s", text.c_str()); }

// The exit of a probe, waited for until the deadline, then forced.
int reap(pid_t pid, long long deadlineMs) {
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) return INT_MIN;
        if (nowMs() >= deadlineMs) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        ::usleep(1000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? -WTERMSIG(status) : INT_MIN;
}

}  // namespace

bool canReplaceProcess() { return true; }

void rememberCommandLine(int argc, char** argv) {
    gArgv = argv;
    gPath[0] = 0;
    const char* name = argc > 0 && argv[0] ? argv[0] : "";
    std::string path;
    if (std::strchr(name, '/')) {
        if (name[0] == '/') {
            path = name;
        } else {
            char cwd[PATH_MAX];
            if (::getcwd(cwd, sizeof cwd)) path = std::string(cwd) + "/" + name;
        }
    } else if (name[0] != 0) {
        const char* searchPath = std::getenv("PATH");
        std::string dirs = searchPath ? searchPath : "";
        for (std::size_t start = 0; start <= dirs.size();) {
            std::size_t end = dirs.find(':', start);
            if (end == std::string::npos) end = dirs.size();
            std::string dir = dirs.substr(start, end - start);
            std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
            if (::access(candidate.c_str(), X_OK) == 0) {
                path = candidate;
                break;
            }
            start = end + 1;
        }
    }
    if (path.empty()) {
        // The file this process runs now: right until a new one replaces it.
        char link[sizeof gPath];
        ssize_t n = ::readlink("/proc/self/exe", link, sizeof link - 1);
        if (n > 0) path.assign(link, static_cast<std::size_t>(n));
    }
    if (!path.empty() && path[0] == '/') path = tidyPath(path);
    if (path.size() < sizeof gPath) std::memcpy(gPath, path.c_str(), path.size() + 1);
}

const char* programPath() { return gPath; }

ProbeResult probeProgram(const char* path, int timeoutMs) {
    ProbeResult result{};
    long long deadline = nowMs() + timeoutMs;
    int answerPipe[2];
    if (::pipe2(answerPipe, O_CLOEXEC) != 0) {
        result.kind = ProbeResult::CannotRun;
        result.code = errno;
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, answerPipe[1], kProbeFd);
    // The probe gets the signal handling of a fresh process, not the
    // server's blocked stop and upgrade signals.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGUSR2, SIGPIPE}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::string probeEntry = std::string(kProbeVariable) + "=" + std::to_string(kProbeFd);
    std::vector<char*> env = environmentWith(probeEntry.data());
    // A program of another kind (an older release) would start serving: not
    // on the list, not on a port anybody uses.
    std::string program = path, onlylan = "-onlylan", portOption = "-port", anyPort = "0";
    char* argv[] = {program.data(), onlylan.data(), portOption.data(), anyPort.data(), nullptr};
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, path, &actions, &attr, argv, env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(answerPipe[1]);
    if (rc != 0) {
        ::close(answerPipe[0]);
        result.kind = ProbeResult::CannotRun;
        result.code = rc;
        return result;
    }
    gProbe = pid;

    std::string answer;
    bool ended = false, answered = false;
    while (!answered && !ended) {
        long long left = deadline - nowMs();
        if (left <= 0) break;
        pollfd in{answerPipe[0], POLLIN, 0};
        int ready = ::poll(&in, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buf[256];
        ssize_t n = ::read(answerPipe[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ended = true;
            break;
        }
        answer.append(buf, static_cast<std::size_t>(n));
        std::size_t lineEnd = answer.find('\n');
        if (lineEnd != std::string::npos) {
            answer.resize(lineEnd);
            answered = true;
        } else if (answer.size() >= sizeof result.answer - 1) {
            answered = true;  // a line that long is no answer of ours; it is judged as it is
        }
    }
    ::close(answerPipe[0]);
    // A probe that answered ends by itself at once; one that did not gets
    // what is left of the time. One that a stop killed meanwhile is the
    // stop's.
    int exitCode = gProbe.exchange(0) == pid ? reap(pid, answered ? nowMs() + 1000 : (ended ? deadline : 0)) : INT_MIN;
    if (answered) {
        result.kind = ProbeResult::Answered;
        putText(result.answer, sizeof result.answer, answer);
    } else if (ended) {
        result.kind = ProbeResult::ExitedSilently;
        result.code = exitCode;
    } else {
        result.kind = ProbeResult::NoAnswer;
    }
    return result;
}

void killProbe() {
    pid_t pid = gProbe.exchange(0);
    if (pid > 0) ::kill(pid, SIGKILL);
}

bool answerProbe(const char* answer) {
    const char* value = std::getenv(kProbeVariable);
    if (!value) return false;
    std::string given = value;
    ::unsetenv(kProbeVariable);
    int out = descriptorNumber(given.c_str());
    struct stat st{};
    if (out < 0 || ::fstat(out, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        Line line;
        lineStart(line);
        lineAdd(line, kProbeVariable);
        lineAdd(line, "=");
        lineAddClientText(line, given.c_str(), given.size());
        lineAdd(line, " names no pipe to answer on; the variable is ignored.");
        lineWrite(line, Stream::Err);
        return false;
    }
    std::string text = std::string(answer) + "\n";
    for (std::size_t done = 0; done < text.size();) {
        ssize_t n = ::write(out, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void replaceProcess(const char* path, const std::uint8_t* state, std::size_t len, const Socket* sockets,
                    std::size_t count, char* why, std::size_t whySize) {
    int stateFd = ::memfd_create(kStateFileName, MFD_CLOEXEC);
    if (stateFd < 0) {
        putText(why, whySize, std::string("the state has no place to go: ") + std::strerror(errno));
        return;
    }
    for (std::size_t done = 0; done < len;) {
        ssize_t n = ::write(stateFd, state + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            putText(why, whySize, std::string("the state could not be written: ") + std::strerror(errno));
            ::close(stateFd);
            return;
        }
        done += static_cast<std::size_t>(n);
    }
    for (std::size_t i = 0; i < count; ++i) setCloseOnExec(fd(sockets[i]), false);
    setCloseOnExec(stateFd, false);
    std::string stateEntry = std::string(kStateVariable) + "=" + std::to_string(stateFd);
    std::vector<char*> env = environmentWith(stateEntry.data());

    ::execve(path, gArgv, env.data());
    int code = errno;
    for (std::size_t i = 0; i < count; ++i) setCloseOnExec(fd(sockets[i]), true);
    ::close(stateFd);
    putText(why, whySize, std::string("cannot start ") + path + ": " + std::strerror(code));
}

Inherited takeInheritedState(std::uint8_t* area, std::size_t size, std::size_t* len, char* why,
                             std::size_t whySize) {
    const char* value = std::getenv(kStateVariable);
    if (!value) return Inherited::None;
    std::string given = value;
    ::unsetenv(kStateVariable);
    std::string named = std::string(kStateVariable) + "=" + given;
    int in = descriptorNumber(given.c_str());
    if (in < 0) {
        putText(why, whySize, named + " is no descriptor number from 3 up");
        return Inherited::NotState;
    }
    // Only the memory file a server left is read, and only that is closed:
    // a number set by hand may name a descriptor that belongs elsewhere.
    char link[256] = "";
    ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(in)).c_str(), link, sizeof link - 1);
    struct stat st{};
    if (n <= 0 || ::fstat(in, &st) != 0) {
        putText(why, whySize, named + " is not open");
        return Inherited::NotState;
    }
    link[n] = 0;
    if (!S_ISREG(st.st_mode) || !startsWith(link, (std::string("/memfd:") + kStateFileName).c_str())) {
        putText(why, whySize, named + " names no state a server left (" + link + ")");
        return Inherited::NotState;
    }
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > size) {
        putText(why, whySize, named + " holds " + std::to_string(st.st_size) + " bytes, more than a state can have");
        ::close(in);
        return Inherited::TooLarge;
    }
    std::size_t want = static_cast<std::size_t>(st.st_size), got = 0;
    while (got < want) {
        ssize_t r = ::pread(in, area + got, want - got, static_cast<off_t>(got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    ::close(in);
    *len = got;
    return Inherited::Taken;
}

InheritedSocket inspectInheritedSocket(Socket s) {
    int f = fd(s);
    struct stat st{};
    if (f < 0 || ::fstat(f, &st) != 0 || !S_ISSOCK(st.st_mode)) return InheritedSocket::NotASocket;
    int type = 0, domain = 0, protocol = 0, listening = 0;
    socklen_t size = sizeof(int);
    bool tcp = ::getsockopt(f, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_STREAM &&
               (size = sizeof(int), ::getsockopt(f, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0) &&
               domain == AF_INET &&
               (size = sizeof(int), ::getsockopt(f, SOL_SOCKET, SO_PROTOCOL, &protocol, &size) == 0) &&
               protocol == IPPROTO_TCP;
    if (!tcp) return InheritedSocket::OtherSocket;
    size = sizeof(int);
    if (::getsockopt(f, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0) return InheritedSocket::OtherSocket;
    // A connection its peer has ended meanwhile is still the client's: the
    // connection loop finds the end and tells the others, as it would have.
    return listening ? InheritedSocket::Listening : InheritedSocket::Connected;
}

void keepInheritedSocket(Socket s) { setCloseOnExec(fd(s), true); }

void closeInheritedSockets() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return;
    std::vector<int> sockets;
    while (dirent* entry = ::readdir(dir)) {
        int f = descriptorNumber(entry->d_name);
        struct stat st{};
        if (f >= 0 && f != ::dirfd(dir) && ::fstat(f, &st) == 0 && S_ISSOCK(st.st_mode)) sockets.push_back(f);
    }
    ::closedir(dir);
    for (int f : sockets) ::close(f);
}
