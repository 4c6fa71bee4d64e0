// The upgrade in place under load: the real server binary, started from a
// copy in a folder of the bench's own, serves N players on loopback who each
// send numbered Relay6 frames at a fixed rate; after a warm-up without
// upgrades, a fresh copy of the binary is renamed over the server's path and
// the server gets SIGUSR2, once a second. Every player checks that it gets
// every other player's frames, each once and in order, and notes the longest
// gap between two frames of the same sender. Prints the frames lost and out
// of order, the longest pause with and without upgrades, the time from the
// signal to "Server upgraded", and the server's descriptors and memory before
// the first upgrade and after the last.
//
// Then two harder cases, with the same players sending on:
// - A console nobody reads: the bench stops reading the server's standard
//   output and has it print its help a few hundred times, until the pipe is
//   full and the server's output writer waits on it; a few upgrades then run
//   against that stalled console, and the longest pause in a player's stream
//   during each is what it costs them. The bench reads again afterwards and
//   waits for the upgrades' lines.
// - A new program that crashes while it takes over (a build with that fault,
//   given as the last argument): installed and signalled a few times, each
//   time the old program must serve on in the same process. Prints the time
//   from the signal to its "Upgrade failed" line and to the first frame
//   relayed after that line, and the longest pause; then the good program
//   goes back and one more upgrade shows that it takes over.
// Frames lost and out of order are given for the whole run and for each of
// its phases. Figures only; nothing here passes or fails.
//
// Usage: upgrade_bench SERVER_BINARY [players=63] [rate=60] [upgrades=20] [CRASHING_BINARY]
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/protocol/packets.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kWarmUp = 5s;  // traffic without upgrades, for comparison
constexpr auto kUpgradeEvery = 1s;
constexpr auto kTail = 1s;          // traffic after the last upgrade
constexpr auto kUpgradeWait = 10s;  // for "Server upgraded"
constexpr auto kDeliveryWait = 3s;  // for the last frames, once sending stops

// The console stalled at the upgrade.
constexpr int kHelpCommands = 300;  // each prints some 420 bytes: twice what the pipe holds
// More, as many again each time, where the server wrote out all that the
// commands printed without waiting on the pipe; at most this many in all.
constexpr int kMostHelpCommands = 3000;
constexpr auto kStallWait = 10s;  // for the pipe to fill
// The pipe's fill unchanged this long, with the reader stopped, counts as
// stalled.
constexpr auto kStallSteady = 300ms;
constexpr int kStalledUpgrades = 3;

// The new program that crashes while it takes over.
constexpr int kHandBacks = 5;

// The run's phases, for the figures kept per phase.
enum Phase { kWarmUpPhase, kUpgradesPhase, kStalledPhase, kHandBackPhase, kPhases };
const char* const kPhaseNames[kPhases] = {"without upgrades", "upgrades", "console stalled", "hand-backs"};

long long nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}
double ms(long long ns) { return static_cast<double>(ns) / 1e6; }

// What the bench leaves behind if it ends early, on a failure or a stop
// signal: the server it started and the folder of its program. Cleared with
// async-signal-safe calls only.
struct Leftovers {
    std::atomic<pid_t> server{-1};
    char dir[64] = "";
    char program[128] = "";
    char newProgram[128] = "";
};
Leftovers gLeftovers;

void clearLeftovers() {
    pid_t pid = gLeftovers.server.exchange(-1);
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    if (gLeftovers.dir[0] != 0) {
        ::unlink(gLeftovers.newProgram);
        ::unlink(gLeftovers.program);
        ::rmdir(gLeftovers.dir);
    }
}

void onStopSignal(int sig) {
    clearLeftovers();
    ::_exit(128 + sig);
}

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "upgrade_bench: %s\n", why.c_str());
    std::fflush(stderr);
    clearLeftovers();
    std::_Exit(1);
}

// ---------------------------------------------------------------- the program file

// Which file a path names, to tell which program a process runs.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileId&) const = default;
};

FileId fileId(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return {st.st_dev, st.st_ino};
}

// The program the process runs now: a file replaced meanwhile still has its
// own identity here.
FileId runningProgram(pid_t pid) { return fileId("/proc/" + std::to_string(pid) + "/exe"); }

// A folder of the bench's own with the server's program in it, replaced as a
// package manager replaces it: a new copy renamed over the old.
class Program {
public:
    explicit Program(std::string source) : source_(std::move(source)) {
        char dir[] = "/tmp/upgrade-bench.XXXXXX";
        if (!::mkdtemp(dir)) fail(std::string("cannot make a folder: ") + std::strerror(errno));
        dir_ = dir;
        path_ = dir_ + "/gameserver";
        std::snprintf(gLeftovers.program, sizeof gLeftovers.program, "%s", path_.c_str());
        std::snprintf(gLeftovers.newProgram, sizeof gLeftovers.newProgram, "%s.new", path_.c_str());
        std::snprintf(gLeftovers.dir, sizeof gLeftovers.dir, "%s", dir_.c_str());
        install();
    }
    ~Program() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        gLeftovers.dir[0] = 0;
    }
    const std::string& path() const { return path_; }
    // The good program, or another one; the file now at the path.
    FileId install() { return install(source_); }
    FileId install(const std::string& source) {
        std::error_code error;
        std::filesystem::copy_file(source, path_ + ".new", std::filesystem::copy_options::overwrite_existing, error);
        if (error) fail("cannot copy " + source + ": " + error.message());
        ::chmod((path_ + ".new").c_str(), 0755);
        std::filesystem::rename(path_ + ".new", path_, error);
        if (error) fail("cannot rename over " + path_ + ": " + error.message());
        return fileId(path_);
    }

private:
    std::string source_, dir_, path_;
};

// ---------------------------------------------------------------- the server's console

// The server's standard streams, read all the time so that its console
// never stalls, except where the bench stalls it on purpose (pauseOut).
// Notes the upgrade lines and the drop reports.
struct Console {
    std::mutex lock;
    std::condition_variable changed;
    int upgradesDone = 0;
    int upgradesFailed = 0;
    std::vector<long long> upgradingNs;  // "Upgrading server to ..." seen
    std::vector<long long> upgradedNs;   // "Server upgraded ..." seen
    std::string lastUpgraded;
    std::vector<long long> failedNs;  // "Upgrade failed ..." seen
    std::vector<std::string> failedLines;
    // While set, "Upgrade failed" lines are the bench's doing and not among
    // the other lines on standard error.
    bool handBacksExpected = false;
    long drops = 0;
    long dropLines = 0;
    unsigned long long outputDropped = 0;  // the server's own count of console lines it lost
    long outputDropReports = 0;
    std::vector<std::string> otherErrors;
    long otherErrorCount = 0;
    bool ended[2] = {false, false};
    bool pauseOut = false;  // the bench wants the standard output left unread: no read starts while set
};

void onOutLine(Console& console, const std::string& line, long long at) {
    std::lock_guard<std::mutex> guard(console.lock);
    if (line.rfind("Upgrading server to ", 0) == 0) {
        console.upgradingNs.push_back(at);
    } else if (line.rfind("Server upgraded to release ", 0) == 0) {
        console.upgradedNs.push_back(at);
        console.lastUpgraded = line;
        ++console.upgradesDone;
        console.changed.notify_all();
    }
}

void onErrLine(Console& console, const std::string& line, long long at) {
    std::lock_guard<std::mutex> guard(console.lock);
    long more = 0;
    unsigned long long lost = 0;
    char tail[2];
    if (line == "Send buffer to small, packet was dropped.") {
        ++console.drops;
        ++console.dropLines;
    } else if (std::sscanf(line.c_str(), "Send buffer to small, %ld more packets were dropped.", &more) == 1) {
        console.drops += more;
        ++console.dropLines;
    } else if (std::sscanf(line.c_str(), "%llu lines of output were dropped%1[.]", &lost, tail) == 2) {
        console.outputDropped += lost;
        ++console.outputDropReports;
    } else {
        if (line.rfind("Upgrade failed", 0) == 0) {
            ++console.upgradesFailed;
            console.failedNs.push_back(at);
            console.failedLines.push_back(line);
            console.changed.notify_all();
            if (console.handBacksExpected) return;
        }
        ++console.otherErrorCount;
        if (console.otherErrors.size() < 10) console.otherErrors.push_back(line);
    }
}

void readStream(Console& console, int fd, bool err) {
    std::string pending;
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, -1) < 0 && errno != EINTR) break;
        ssize_t n;
        {
            // The read is made under the lock, after a look at the pause: once
            // pauseOut is set, nothing more is taken from the pipe.
            std::unique_lock<std::mutex> guard(console.lock);
            if (!err && console.pauseOut) {
                console.changed.wait(guard, [&] { return !console.pauseOut; });
                continue;
            }
            n = ::read(fd, buf, sizeof buf);
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        long long at = nowNs();
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = pending.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (err)
                onErrLine(console, line, at);
            else
                onOutLine(console, line, at);
        }
        pending.erase(0, start);
    }
    std::lock_guard<std::mutex> guard(console.lock);
    console.ended[err ? 1 : 0] = true;
    console.changed.notify_all();
}

struct ServerChild {
    pid_t pid = -1;
    int in = -1;  // the server's standard input, written by the bench
    int out = -1;
    int err = -1;
};

// Called before the bench starts any thread: the child of fork runs only
// async-signal-safe calls until it runs the server.
ServerChild startServer(const std::string& path, int port) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        fail(std::string("pipe: ") + std::strerror(errno));
    std::string program = path, onlylan = "-onlylan", portOption = "-port", portText = std::to_string(port),
                maxOption = "-maxplayers", maxText = "63";
    char* argv[] = {program.data(), onlylan.data(), portOption.data(), portText.data(), maxOption.data(),
                    maxText.data(), nullptr};
    const pid_t bench = ::getpid();
    ServerChild child;
    child.pid = ::fork();
    if (child.pid < 0) fail(std::string("fork: ") + std::strerror(errno));
    if (child.pid > 0) gLeftovers.server = child.pid;
    if (child.pid == 0) {
        // A bench killed outright takes the server with it, up to the first
        // upgrade: the server re-executes from a thread of its own, which
        // does not carry this setting. A failure or a stop signal ends the
        // server in any case (clearLeftovers).
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != bench) ::_exit(127);
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        // The server starts with the signal handling of a fresh process.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGINT, SIGTERM, SIGUSR2, SIGPIPE}) ::signal(sig, SIG_DFL);
        ::execv(path.c_str(), argv);
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    // The bench's ends only: a read finds the pipe empty rather than waiting.
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);
    ::fcntl(err[0], F_SETFL, O_NONBLOCK);
    child.in = in[1];
    child.out = out[0];
    child.err = err[0];
    return child;
}

int openDescriptors(pid_t pid) {
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!dir) return -1;
    int n = 0;
    while (dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.') ++n;
    ::closedir(dir);
    return n;
}

long residentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// The time, in microseconds since boot, that some task waited for a core
// (the kernel's pressure figure), or -1 where it is not kept.
long long cpuWaitUs() {
    std::ifstream file("/proc/pressure/cpu");
    std::string line;
    if (!std::getline(file, line)) return -1;
    std::size_t at = line.find("total=");
    return at == std::string::npos ? -1 : std::atoll(line.c_str() + at + 6);
}

// The bytes waiting in a pipe, from either of its ends, or -1.
int pipeBytes(int fd) {
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

// Whether a thread of the process sleeps in a pipe write, as the kernel names
// where each thread sleeps: 1 yes, 0 no, -1 where the kernel does not tell.
int threadInPipeWrite(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (!dir) return -1;
    bool told = false, writing = false;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream file(tasks + "/" + e->d_name + "/wchan");
        std::string where;
        std::getline(file, where);
        if (where.empty() || where == "0") continue;
        told = true;
        if (where.find("pipe_write") != std::string::npos) writing = true;
    }
    ::closedir(dir);
    return writing ? 1 : told ? 0 : -1;
}

bool writeAll(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

int freePort() {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        fail(std::string("no free port: ") + std::strerror(errno));
    ::close(s);
    return ntohs(a.sin_port);
}

int connectTo(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    for (int attempt = 0; attempt < 250; ++attempt) {
        int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s >= 0 && ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            int on = 1;
            ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return s;
        }
        if (s >= 0) ::close(s);
        std::this_thread::sleep_for(20ms);
    }
    fail("cannot connect to the server on port " + std::to_string(port));
}

bool sendAll(int s, const std::uint8_t* data, std::size_t len) {
    while (len > 0) {
        ssize_t n = ::send(s, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// ---------------------------------------------------------------- the players

// What one player saw of one other player's frames.
struct FromSender {
    std::uint32_t last = 0;          // the highest number seen
    long long lastNs = 0;            // when a frame of this sender last arrived
    std::vector<std::uint8_t> seen;  // by number
};

struct Player {
    int sock = -1;
    std::atomic<int> loginStatus{-1};  // the HelloReply's status once it came
    std::vector<std::uint8_t> buf;
    std::vector<FromSender> from;
};

// Figures the receiving thread keeps, per phase (Phase; the upgrades' phase
// takes in the second after the last).
struct Receipts {
    std::atomic<int> phase{kWarmUpPhase};
    // The upgrade under way, numbered over the run: 1..upgrades the regular
    // ones, then those of the later phases; 0 between them.
    std::atomic<int> upgrade{0};
    std::atomic<long> distinct{0};
    std::atomic<std::uint32_t> newest{0};  // the highest frame number received from anyone
    long outOfOrder = 0;
    long repeated = 0;
    long departures = 0;
    long unknownIds = 0;
    // By the phase the frame was sent in.
    long distinctIn[kPhases] = {};
    long outOfOrderIn[kPhases] = {};
    // By the phase at the receipt.
    long long longestGapNs[kPhases] = {};
    long long longestDelayNs[kPhases] = {};        // from the start of the frame's tick to its receipt
    std::vector<long long> longestGapInUpgradeNs;  // index: upgrade
    std::vector<long long> longestDelayInUpgradeNs;
    // Written by the sending thread: the longest time between the starts of
    // two ticks, a stall of the bench itself when it is well over a tick, and
    // the frames sent, by phase.
    long long longestTickGapNs[kPhases] = {};
    long sentIn[kPhases] = {};
    std::vector<std::atomic<long long>> tickNs;        // when the tick that sends frames numbered n began, by n
    std::vector<std::atomic<std::uint8_t>> tickPhase;  // its phase, stored before its time
    // While logArrivals is set: when frames arrived, once for each wake of the
    // receiving thread that brought some.
    std::atomic<bool> logArrivals{false};
    std::mutex arrivalsLock;
    std::vector<long long> arrivals;
    std::atomic<bool> running{true};
    explicit Receipts(std::size_t ticks) : tickNs(ticks), tickPhase(ticks) {}
};

void startArrivalLog(Receipts& r) {
    std::lock_guard<std::mutex> guard(r.arrivalsLock);
    r.arrivals.clear();
    r.logArrivals = true;
}

// Ends the log: the first arrival at or after `from`, or 0.
long long firstArrivalFrom(Receipts& r, long long from) {
    r.logArrivals = false;
    std::lock_guard<std::mutex> guard(r.arrivalsLock);
    for (long long at : r.arrivals)
        if (at >= from) return at;
    return 0;
}

void onRelay6(Receipts& r, Player& p, int self, std::uint8_t sender, std::uint32_t number, long long at) {
    if (sender >= p.from.size() || static_cast<int>(sender) == self) {
        ++r.unknownIds;
        return;
    }
    FromSender& f = p.from[sender];
    if (number >= f.seen.size()) f.seen.resize(std::max<std::size_t>(number + 1, f.seen.size() * 2), 0);
    if (f.seen[number]) {
        ++r.repeated;
        return;
    }
    f.seen[number] = 1;
    r.distinct.fetch_add(1, std::memory_order_relaxed);
    int phase = r.phase.load(std::memory_order_relaxed);
    int sentPhase = phase;
    long long tick = number < r.tickNs.size() ? r.tickNs[number].load(std::memory_order_acquire) : 0;
    if (tick != 0) sentPhase = r.tickPhase[number].load(std::memory_order_relaxed);
    ++r.distinctIn[sentPhase];
    if (number != f.last + 1) {
        ++r.outOfOrder;
        ++r.outOfOrderIn[sentPhase];
    }
    if (number > f.last) f.last = number;
    if (number > r.newest.load(std::memory_order_relaxed)) r.newest.store(number, std::memory_order_relaxed);
    int k = r.upgrade.load(std::memory_order_relaxed);
    bool inUpgrade = k > 0 && static_cast<std::size_t>(k) < r.longestGapInUpgradeNs.size();
    if (tick != 0) {
        r.longestDelayNs[phase] = std::max(r.longestDelayNs[phase], at - tick);
        if (inUpgrade) r.longestDelayInUpgradeNs[k] = std::max(r.longestDelayInUpgradeNs[k], at - tick);
    }
    if (f.lastNs != 0) {
        long long gap = at - f.lastNs;
        r.longestGapNs[phase] = std::max(r.longestGapNs[phase], gap);
        if (inUpgrade) r.longestGapInUpgradeNs[k] = std::max(r.longestGapInUpgradeNs[k], gap);
    }
    f.lastNs = at;
}

// One thread reads every player's socket, each from its login on (added to
// ep by the thread that logs it in).
void receiveAll(int ep, std::vector<Player>& players, Receipts& r) {
    epoll_event events[64];
    std::uint8_t chunk[8192];
    while (r.running.load()) {
        int n = ::epoll_wait(ep, events, 64, 100);
        long long at = nowNs();
        bool relayed = false;
        for (int k = 0; k < n; ++k) {
            int self = static_cast<int>(events[k].data.u32);
            Player& p = players[static_cast<std::size_t>(self)];
            ssize_t got = ::recv(p.sock, chunk, sizeof chunk, MSG_DONTWAIT);
            if (got <= 0) {
                if (got == 0 || (errno != EAGAIN && errno != EINTR)) ::epoll_ctl(ep, EPOLL_CTL_DEL, p.sock, nullptr);
                continue;
            }
            p.buf.insert(p.buf.end(), chunk, chunk + got);
            std::size_t pos = 0;
            while (p.buf.size() - pos >= 2) {
                std::uint8_t id = p.buf[pos + 1];
                if (id >= kPacketIdCount) {
                    ++r.unknownIds;
                    pos = p.buf.size();  // the stream can no longer be split into frames
                    break;
                }
                std::size_t len = frameLength(id);
                if (p.buf.size() - pos < len) break;
                const std::uint8_t* f = &p.buf[pos];
                if (id == kHelloReply)
                    p.loginStatus = f[1 + 70];  // the status, after version, name and ID
                else if (id == kPlayerLeft)
                    ++r.departures;
                else if (id == kRelay6) {
                    onRelay6(r, p, self, f[0], static_cast<std::uint32_t>(readInt32(f + 2)), at);
                    relayed = true;
                }
                pos += len;
            }
            p.buf.erase(p.buf.begin(), p.buf.begin() + static_cast<std::ptrdiff_t>(pos));
        }
        if (relayed && r.logArrivals.load(std::memory_order_relaxed)) {
            std::lock_guard<std::mutex> guard(r.arrivalsLock);
            r.arrivals.push_back(at);
        }
    }
}

long long percentile(std::vector<long long> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

// ---------------------------------------------------------------- the later phases

// What the later phases drive and watch.
struct Bench {
    Program& program;
    const ServerChild& server;
    Console& console;
    Receipts& receipts;
};

// SIGUSR2 for the upgrade numbered `upgrade` in the run; its time.
long long signalUpgrade(Bench& b, int upgrade) {
    b.receipts.upgrade = upgrade;
    long long at = nowNs();
    ::kill(b.server.pid, SIGUSR2);
    return at;
}

void sleepUntilNs(long long at) { std::this_thread::sleep_until(Clock::time_point(std::chrono::nanoseconds(at))); }

// The new program serves: the process runs it, and it has relayed a frame
// sent after the bench saw it running (a frame the old program could not
// have relayed). With the console stalled, its "Server upgraded" line waits
// in its queue and cannot tell.
bool waitUntilServing(Bench& b, FileId program) {
    auto end = Clock::now() + kUpgradeWait;
    long long runningSince = 0;
    while (Clock::now() < end) {
        if (runningSince == 0 && runningProgram(b.server.pid) == program) runningSince = nowNs();
        if (runningSince != 0) {
            std::uint32_t newest = b.receipts.newest.load();
            if (newest < b.receipts.tickNs.size() && b.receipts.tickNs[newest].load() > runningSince)
                return runningProgram(b.server.pid) == program;  // not handed back meanwhile
        }
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

struct StallFigures {
    bool ran = false;
    bool stalled = false;
    int pipeCapacity = 0;
    int pipeFill = 0;          // when the console counted as stalled
    int writerInPipe = -1;     // then: a server thread sleeping in a pipe write (threadInPipeWrite)
    int helpCommands = 0;      // written to the server
    int pipeFullAtSignal = 0;  // upgrades whose signal found the pipe as full as when stalled
    int writerInPipeAtSignal = 0;
    bool writerUntold = false;  // the kernel did not tell where threads sleep
    int firstUpgrade = 0;
    int attempted = 0;
    int completed = 0;
    // Once reading resumed: the "Server upgraded" lines that came, the time
    // from resuming to the last of them, and the console lines the server
    // said it lost in this phase.
    int upgradedLines = 0;
    long long linesAfterNs = 0;
    unsigned long long linesLost = 0;
    long lossReports = 0;
};

// Stops reading the server's standard output and has it print until the
// console is stalled: the server has read every command, the pipe's fill has
// not changed for kStallSteady and a server thread sleeps in a pipe write,
// which with the reader stopped it does only for want of room. Where the
// kernel does not tell where threads sleep, a pipe with less room than a
// write of PIPE_BUF bytes (which goes in whole or waits) needs counts
// instead. Where the server wrote out all it had, it gets more commands.
bool stallConsole(Bench& b, StallFigures& s) {
    {
        std::lock_guard<std::mutex> guard(b.console.lock);
        b.console.pauseOut = true;
    }
    auto typeHelps = [&](int count) {
        std::string commands;
        for (int i = 0; i < count; ++i) commands += "help\n";
        if (!writeAll(b.server.in, commands)) fail("cannot write to the server's standard input");
        s.helpCommands += count;
    };
    typeHelps(kHelpCommands);
    s.pipeCapacity = ::fcntl(b.server.out, F_GETPIPE_SZ);
    auto end = Clock::now() + kStallWait;
    int fill = -1;
    auto steadySince = Clock::now();
    while (Clock::now() < end) {
        {
            std::lock_guard<std::mutex> guard(b.console.lock);
            if (b.console.ended[0]) return false;
        }
        int now = pipeBytes(b.server.out);
        if (now != fill) {
            fill = now;
            steadySince = Clock::now();
        }
        if (pipeBytes(b.server.in) == 0 && Clock::now() - steadySince >= kStallSteady) {
            s.writerInPipe = threadInPipeWrite(b.server.pid);
            s.pipeFill = fill;
            if (s.writerInPipe > 0 || (s.writerInPipe < 0 && fill > s.pipeCapacity - PIPE_BUF)) return true;
            if (s.helpCommands + kHelpCommands > kMostHelpCommands) return false;
            typeHelps(kHelpCommands);
            steadySince = Clock::now();
        }
        std::this_thread::sleep_for(20ms);
    }
    s.pipeFill = fill;
    return false;
}

// A few upgrades, a second apart, against a stalled console; then reading
// resumes and their lines are waited for.
StallFigures upgradeWithConsoleStalled(Bench& b, int firstUpgrade) {
    StallFigures s;
    s.ran = true;
    s.firstUpgrade = firstUpgrade;
    b.receipts.phase = kStalledPhase;
    int doneBefore;
    unsigned long long lostBefore;
    long reportsBefore;
    {
        std::lock_guard<std::mutex> guard(b.console.lock);
        doneBefore = b.console.upgradesDone;
        lostBefore = b.console.outputDropped;
        reportsBefore = b.console.outputDropReports;
    }
    s.stalled = stallConsole(b, s);
    for (int k = 0; s.stalled && k < kStalledUpgrades; ++k) {
        FileId program = b.program.install();
        if (pipeBytes(b.server.out) == s.pipeFill) ++s.pipeFullAtSignal;
        int writing = threadInPipeWrite(b.server.pid);
        if (writing > 0) ++s.writerInPipeAtSignal;
        if (writing < 0) s.writerUntold = true;
        ++s.attempted;
        long long signalled = signalUpgrade(b, firstUpgrade + k);
        if (!waitUntilServing(b, program)) break;
        ++s.completed;
        sleepUntilNs(signalled + std::chrono::nanoseconds(kUpgradeEvery).count());
    }
    b.receipts.upgrade = 0;

    long long resumed = nowNs();
    std::unique_lock<std::mutex> guard(b.console.lock);
    b.console.pauseOut = false;
    b.console.changed.notify_all();
    b.console.changed.wait_for(
        guard, kUpgradeWait, [&] { return b.console.upgradesDone >= doneBefore + s.completed || b.console.ended[0]; });
    s.upgradedLines = b.console.upgradesDone - doneBefore;
    if (s.upgradedLines > 0) s.linesAfterNs = b.console.upgradedNs.back() - resumed;
    s.linesLost = b.console.outputDropped - lostBefore;
    s.lossReports = b.console.outputDropReports - reportsBefore;
    return s;
}

struct HandBackFigures {
    bool ran = false;
    int firstUpgrade = 0;
    int attempted = 0;
    int handedBack = 0;
    int tookOver = 0;         // the faulty program served: its fault did not strike
    int unexpectedLines = 0;  // "Upgrade failed" lines that do not tell of the crash
    std::string firstLine;
    std::vector<long long> toLineNs;   // SIGUSR2 to "Upgrade failed"
    std::vector<long long> toFrameNs;  // SIGUSR2 to the first frame relayed after that line
    // The good program installed again, and one more upgrade.
    bool goodTried = false;
    bool goodDone = false;
    long long goodNs = 0;  // SIGUSR2 to "Server upgraded"
    std::string goodLine;
};

// The line the old program writes when it serves on after the new one crashed.
bool tellsOfCrash(const std::string& line) {
    return line.find(" crashed with signal ") != std::string::npos &&
           line.ends_with(" while taking over; the server serves on.");
}

// Signals the upgrade and waits for its line: true for "Upgrade failed",
// false for "Server upgraded", the end of the output or no line in time.
bool upgradeFails(Bench& b, int upgrade, long long& signalledNs) {
    std::unique_lock<std::mutex> guard(b.console.lock);
    const int failedBefore = b.console.upgradesFailed, doneBefore = b.console.upgradesDone;
    guard.unlock();
    signalledNs = signalUpgrade(b, upgrade);
    guard.lock();
    b.console.changed.wait_for(guard, kUpgradeWait, [&] {
        return b.console.upgradesFailed > failedBefore || b.console.upgradesDone > doneBefore || b.console.ended[0] ||
               b.console.ended[1];
    });
    return b.console.upgradesFailed > failedBefore;
}

// The program that crashes while it takes over, installed and signalled
// kHandBacks times a second apart; then the good program and one more upgrade.
HandBackFigures upgradeToCrashingProgram(Bench& b, const std::string& crashing, int firstUpgrade) {
    HandBackFigures h;
    h.ran = true;
    h.firstUpgrade = firstUpgrade;
    b.receipts.phase = kHandBackPhase;
    {
        std::lock_guard<std::mutex> guard(b.console.lock);
        b.console.handBacksExpected = true;
    }
    for (int k = 0; k < kHandBacks; ++k) {
        b.program.install(crashing);
        startArrivalLog(b.receipts);
        ++h.attempted;
        long long signalled = 0;
        bool failed = upgradeFails(b, firstUpgrade + k, signalled);
        std::unique_lock<std::mutex> guard(b.console.lock);
        if (!failed) {
            if (!b.console.upgradedNs.empty() && b.console.upgradedNs.back() > signalled) ++h.tookOver;
            break;
        }
        const long long lineNs = b.console.failedNs.back();
        const std::string line = b.console.failedLines.back();
        guard.unlock();
        ++h.handedBack;
        if (h.firstLine.empty()) h.firstLine = line;
        if (!tellsOfCrash(line)) ++h.unexpectedLines;
        h.toLineNs.push_back(lineNs - signalled);
        // The frames relayed just after the line have come well before the
        // next attempt.
        sleepUntilNs(std::max(signalled + std::chrono::nanoseconds(kUpgradeEvery).count(),
                              lineNs + std::chrono::nanoseconds(100ms).count()));
        long long frameNs = firstArrivalFrom(b.receipts, lineNs);
        if (frameNs != 0) h.toFrameNs.push_back(frameNs - signalled);
    }
    b.receipts.logArrivals = false;
    if (h.handedBack == kHandBacks) {
        b.program.install();
        h.goodTried = true;
        long long signalled = 0;
        bool failed = upgradeFails(b, firstUpgrade + kHandBacks, signalled);
        {
            std::lock_guard<std::mutex> guard(b.console.lock);
            if (!failed && !b.console.upgradedNs.empty() && b.console.upgradedNs.back() > signalled) {
                h.goodDone = true;
                h.goodNs = b.console.upgradedNs.back() - signalled;
                h.goodLine = b.console.lastUpgraded;
            }
        }
        sleepUntilNs(signalled + std::chrono::nanoseconds(kUpgradeEvery).count());
    }
    b.receipts.upgrade = 0;
    std::lock_guard<std::mutex> guard(b.console.lock);
    b.console.handBacksExpected = false;
    return h;
}

// ---------------------------------------------------------------- the later phases' figures

// The longest gaps in a player's stream during upgrades first..first+count-1.
std::vector<long long> gapsOf(const Receipts& r, int first, int count) {
    std::vector<long long> gaps;
    for (int k = first; k < first + count; ++k) gaps.push_back(r.longestGapInUpgradeNs[static_cast<std::size_t>(k)]);
    return gaps;
}

void printList(const std::vector<long long>& ns) {
    for (std::size_t i = 0; i < ns.size(); ++i) std::printf("%s%.1f", i ? " " : "", ms(ns[i]));
}

// threadInPipeWrite's answer in words.
const char* toldAnswer(int told) {
    if (told < 0) return "not told by the kernel";
    return told > 0 ? "yes" : "no";
}

void printStalled(const StallFigures& s, const Receipts& r) {
    if (!s.ran) return;
    std::printf(
        "console stalled at the upgrade: %d help commands written, then the server's standard output left "
        "unread\n",
        s.helpCommands);
    std::printf(
        "  %s: the server read every command; its output pipe held %d of %d bytes, unchanged for %lld ms; "
        "a server thread sleeping in a pipe write: %s\n",
        s.stalled ? "stalled" : "DID NOT STALL", s.pipeFill, s.pipeCapacity,
        static_cast<long long>(std::chrono::milliseconds(kStallSteady).count()), toldAnswer(s.writerInPipe));
    if (s.attempted > 0) {
        std::printf("  at the signals: pipe as full at %d of %d, a thread in a pipe write at %d of %d%s\n",
                    s.pipeFullAtSignal, s.attempted, s.writerInPipeAtSignal, s.attempted,
                    s.writerUntold ? " (the kernel did not always tell)" : "");
        std::vector<long long> gaps = gapsOf(r, s.firstUpgrade, s.attempted);
        std::printf("longest pause with the console stalled at the upgrade: %.1f ms (per upgrade, ms: ",
                    ms(percentile(gaps, 1.0)));
        printList(gaps);
        std::printf(")\n");
    }
    std::printf(
        "upgrades completed with the console stalled: %d of %d (the new program runs and relayed a frame "
        "sent after it started)\n",
        s.completed, s.attempted);
    std::printf(
        "  reading again: %d \"Server upgraded\" line%s came, the last %.1f ms after; the server reported %llu "
        "console line%s lost (%ld report%s)\n",
        s.upgradedLines, s.upgradedLines == 1 ? "" : "s", ms(s.linesAfterNs), s.linesLost, s.linesLost == 1 ? "" : "s",
        s.lossReports, s.lossReports == 1 ? "" : "s");
    std::printf(
        "  this phase overall (stalling, upgrades, reading again): longest pause %.1f ms, longest delay "
        "%.1f ms, the bench's longest stall between ticks %.1f ms\n",
        ms(r.longestGapNs[kStalledPhase]), ms(r.longestDelayNs[kStalledPhase]), ms(r.longestTickGapNs[kStalledPhase]));
}

void printHandBacks(const HandBackFigures& h, const Receipts& r, const std::string& crashing, long lost,
                    long outOfOrder) {
    if (!h.ran) {
        std::printf(
            "new program that crashes while taking over: skipped (no such program given; it is the fifth "
            "argument)\n");
        return;
    }
    std::printf("new program that crashes while taking over (%s), %d times %lld ms apart:\n", crashing.c_str(),
                kHandBacks, static_cast<long long>(std::chrono::milliseconds(kUpgradeEvery).count()));
    std::printf("  handed back: %d of %d%s", h.handedBack, h.attempted,
                h.tookOver ? "; THE FAULTY PROGRAM TOOK OVER" : "");
    if (h.handedBack < h.attempted && !h.tookOver)
        std::printf("; NO LINE within %lld s", static_cast<long long>(kUpgradeWait.count()));
    if (h.unexpectedLines)
        std::printf("; %d line%s not telling of the crash", h.unexpectedLines, h.unexpectedLines == 1 ? "" : "s");
    std::printf("\n");
    if (!h.firstLine.empty()) std::printf("  the first line: %s\n", h.firstLine.c_str());
    if (!h.toLineNs.empty()) {
        std::printf("  SIGUSR2 to \"Upgrade failed\": median %.1f ms, longest %.1f ms (each: ",
                    ms(percentile(h.toLineNs, 0.5)), ms(percentile(h.toLineNs, 1.0)));
        printList(h.toLineNs);
        std::printf(")\n");
    }
    if (!h.toFrameNs.empty()) {
        std::printf("  SIGUSR2 to the first frame relayed after that line: median %.1f ms, longest %.1f ms\n",
                    ms(percentile(h.toFrameNs, 0.5)), ms(percentile(h.toFrameNs, 1.0)));
    }
    if (h.attempted > 0) {
        std::vector<long long> gaps = gapsOf(r, h.firstUpgrade, h.attempted);
        std::printf("  longest pause in a player's stream: median %.1f ms, longest %.1f ms (each: ",
                    ms(percentile(gaps, 0.5)), ms(percentile(gaps, 1.0)));
        printList(gaps);
        std::printf(")\n");
    }
    std::printf("  frames sent in this phase: lost %ld, out of order %ld\n", lost, outOfOrder);
    if (h.goodTried) {
        if (h.goodDone)
            std::printf(
                "  then the good program again: SIGUSR2 to \"Server upgraded\" %.1f ms, longest pause %.1f ms; "
                "%s\n",
                ms(h.goodNs), ms(r.longestGapInUpgradeNs[static_cast<std::size_t>(h.firstUpgrade + kHandBacks)]),
                h.goodLine.c_str());
        else
            std::printf("  then the good program again: IT DID NOT TAKE OVER within %lld s\n",
                        static_cast<long long>(kUpgradeWait.count()));
    }
    std::printf("  the bench's longest stall between ticks in this phase: %.1f ms\n",
                ms(r.longestTickGapNs[kHandBackPhase]));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 6) {
        std::fprintf(stderr,
                     "usage: upgrade_bench SERVER_BINARY [players=63] [rate=60] [upgrades=20] [CRASHING_BINARY]\n");
        return 2;
    }
    const std::string binary = argv[1];
    int players = argc > 2 ? std::atoi(argv[2]) : 63;
    int rate = argc > 3 ? std::atoi(argv[3]) : 60;
    int upgrades = argc > 4 ? std::atoi(argv[4]) : 20;
    // A build of the server that crashes while it takes over.
    const std::string crashing = argc > 5 ? argv[5] : "";
    if (players < 2 || players > 63 || rate < 1 || rate > 1000 || upgrades < 0) {
        std::fprintf(stderr,
                     "usage: upgrade_bench SERVER_BINARY [players 2..63] [rate 1..1000] [upgrades 0..] "
                     "[CRASHING_BINARY]\n");
        return 2;
    }
    if (!crashing.empty() && ::access(crashing.c_str(), R_OK) != 0)
        fail("cannot read " + crashing + ": " + std::strerror(errno));
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction stop {};
    stop.sa_handler = onStopSignal;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &stop, nullptr);
    std::string loadAtStart = loadAverage();
    const long long waitAtStart = cpuWaitUs();
    const long long runStartNs = nowNs();

    Program program(binary);
    const int port = freePort();
    ServerChild server = startServer(program.path(), port);
    Console console;
    std::thread outReader(readStream, std::ref(console), server.out, false);
    std::thread errReader(readStream, std::ref(console), server.err, true);

    // The players connect and log in one after the other (the server lets
    // only a few connections from one address wait for their login).
    std::vector<Player> all(static_cast<std::size_t>(players));
    for (auto& p : all) p.from.resize(all.size());
    // Room for the send times of a run whose upgrades all take their longest.
    const int handBackUpgrades = crashing.empty() ? 0 : kHandBacks + 1;
    const auto longestRun = kWarmUp + upgrades * (kUpgradeEvery + kUpgradeWait) + kTail + kStallWait +
                            (kStalledUpgrades + 1 + handBackUpgrades) * (kUpgradeEvery + kUpgradeWait) + 5s;
    Receipts receipts(static_cast<std::size_t>(rate) * static_cast<std::size_t>(longestRun.count()));
    const int allUpgrades = upgrades + kStalledUpgrades + handBackUpgrades;
    receipts.longestGapInUpgradeNs.assign(static_cast<std::size_t>(allUpgrades) + 1, 0);
    receipts.longestDelayInUpgradeNs.assign(static_cast<std::size_t>(allUpgrades) + 1, 0);
    int ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) fail(std::string("epoll: ") + std::strerror(errno));
    std::thread receiver(receiveAll, ep, std::ref(all), std::ref(receipts));
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i].sock = connectTo(port);
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u32 = static_cast<std::uint32_t>(i);
        ::epoll_ctl(ep, EPOLL_CTL_ADD, all[i].sock, &e);
        std::uint8_t hello[1 + 133] = {0, kHello};
        std::memcpy(hello + 1 + kHelloVersion, &kProtocolVersion, 4);
        std::snprintf(reinterpret_cast<char*>(hello + 1 + kHelloName), kNameFieldSize, "p%zu", i);
        if (!sendAll(all[i].sock, hello, sizeof hello)) fail("cannot send a login");
        auto end = Clock::now() + 5s;
        while (all[i].loginStatus.load() < 0 && Clock::now() < end) std::this_thread::sleep_for(1ms);
        if (all[i].loginStatus.load() != kStatusAccepted)
            fail("player " + std::to_string(i) + " was not let in (status " +
                 std::to_string(all[i].loginStatus.load()) + ")");
    }
    std::this_thread::sleep_for(200ms);

    // Every player sends a numbered frame each tick, all in the same instant.
    std::atomic<bool> sending{true};
    std::vector<std::uint32_t> sent(all.size(), 0);
    long sendFailures = 0;
    std::thread sender([&] {
        auto tick = std::chrono::nanoseconds(1000000000LL / rate);
        auto next = Clock::now();
        std::uint8_t frame[6] = {0, kRelay6};
        long long previous = 0;
        for (std::uint32_t number = 1; sending.load(); ++number) {
            long long start = nowNs();
            const int phase = receipts.phase.load(std::memory_order_relaxed);
            if (previous != 0) {
                long long& longest = receipts.longestTickGapNs[phase];
                longest = std::max(longest, start - previous);
            }
            previous = start;
            if (number < receipts.tickNs.size()) {
                receipts.tickPhase[number].store(static_cast<std::uint8_t>(phase), std::memory_order_relaxed);
                receipts.tickNs[number].store(start, std::memory_order_release);
            }
            for (std::size_t i = 0; i < all.size(); ++i) {
                frame[0] = static_cast<std::uint8_t>(i);
                writeInt32(frame + 2, static_cast<std::int32_t>(number));
                if (sendAll(all[i].sock, frame, sizeof frame)) {
                    ++sent[i];
                    ++receipts.sentIn[phase];
                } else {
                    ++sendFailures;
                }
            }
            next += tick;
            std::this_thread::sleep_until(next);
        }
    });

    std::this_thread::sleep_for(kWarmUp);
    const int fdsBefore = openDescriptors(server.pid);
    const long rssBefore = residentKb(server.pid);
    std::vector<long long> signalNs;
    int failedAt = 0;
    auto nextUpgrade = Clock::now();
    for (int k = 1; k <= upgrades; ++k) {
        program.install();
        receipts.phase = 1;
        receipts.upgrade = k;
        signalNs.push_back(nowNs());
        ::kill(server.pid, SIGUSR2);
        std::unique_lock<std::mutex> guard(console.lock);
        bool done = console.changed.wait_for(guard, kUpgradeWait, [&] {
            return console.upgradesDone >= k || console.upgradesFailed > 0 || console.ended[0];
        });
        if (!done || console.upgradesDone < k) {
            failedAt = k;
            break;
        }
        guard.unlock();
        nextUpgrade += kUpgradeEvery;
        std::this_thread::sleep_until(nextUpgrade);
    }
    std::this_thread::sleep_for(kTail);
    const int fdsAfter = openDescriptors(server.pid);
    const long rssAfter = residentKb(server.pid);
    int upgradesDone;
    std::string lastUpgraded;
    bool serverGone;
    {
        std::lock_guard<std::mutex> guard(console.lock);
        upgradesDone = console.upgradesDone;
        lastUpgraded = console.lastUpgraded;
        serverGone = console.ended[0] || console.ended[1];
    }

    // The later phases, once the regular upgrades went well.
    Bench bench{program, server, console, receipts};
    StallFigures stalled;
    HandBackFigures handBacks;
    const bool laterPhases = failedAt == 0 && !serverGone;
    if (laterPhases) {
        stalled = upgradeWithConsoleStalled(bench, upgrades + 1);
        if (!crashing.empty()) handBacks = upgradeToCrashingProgram(bench, crashing, upgrades + kStalledUpgrades + 1);
    }
    const int fdsAtEnd = openDescriptors(server.pid);
    const long rssAtEnd = residentKb(server.pid);

    sending = false;
    sender.join();
    long expected = 0;
    for (std::size_t i = 0; i < all.size(); ++i) expected += static_cast<long>(sent[i]) * (players - 1);
    auto deliveryEnd = Clock::now() + kDeliveryWait;
    while (receipts.distinct.load() < expected && Clock::now() < deliveryEnd) std::this_thread::sleep_for(10ms);
    receipts.running = false;
    receiver.join();
    ::close(ep);

    // The server stops as an operator stops it.
    const char exitLine[] = "exit\n";
    (void)!::write(server.in, exitLine, sizeof exitLine - 1);
    int status = 0;
    auto stopEnd = Clock::now() + 5s;
    while (::waitpid(server.pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= stopEnd) {
            ::kill(server.pid, SIGKILL);
            ::waitpid(server.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    gLeftovers.server = -1;
    for (auto& p : all) ::close(p.sock);
    ::close(server.in);
    outReader.join();
    errReader.join();

    long received = receipts.distinct.load();
    long long periodNs = 1000000000LL / rate;
    std::vector<long long> toUpgraded, toUpgrading;
    for (std::size_t k = 0; k < signalNs.size(); ++k) {
        if (k < console.upgradedNs.size()) toUpgraded.push_back(console.upgradedNs[k] - signalNs[k]);
        if (k < console.upgradingNs.size()) toUpgrading.push_back(console.upgradingNs[k] - signalNs[k]);
    }

    std::printf(
        "upgrade_bench: %d players, %d frames/s each; %lld s without upgrades, then %d upgrade%s %lld ms apart\n",
        players, rate, static_cast<long long>(kWarmUp.count()), upgrades, upgrades == 1 ? "" : "s",
        static_cast<long long>(std::chrono::milliseconds(kUpgradeEvery).count()));
    std::printf("load average at start: %s, at end: %s (%u cores)", loadAtStart.c_str(), loadAverage().c_str(),
                std::thread::hardware_concurrency());
    const long long waitAtEnd = cpuWaitUs();
    if (waitAtStart >= 0 && waitAtEnd >= waitAtStart)
        std::printf(
            "; some task waited for a core %.0f%% of the run",
            100.0 * static_cast<double>(waitAtEnd - waitAtStart) * 1000 / static_cast<double>(nowNs() - runStartNs));
    std::printf("\n");
    if (failedAt)
        std::printf("UPGRADE %d DID NOT COMPLETE within %lld s; the figures cover the upgrades before it\n", failedAt,
                    static_cast<long long>(kUpgradeWait.count()));
    std::printf("upgrades completed: %d of %d%s%s\n", upgradesDone, upgrades,
                lastUpgraded.empty() ? "" : "; last line: ", lastUpgraded.c_str());
    std::printf("frames: %ld relayed of %ld expected; lost %ld, out of order %ld, repeated %ld; send failures %ld\n",
                received, expected, expected - received, receipts.outOfOrder, receipts.repeated, sendFailures);
    std::printf("  by the phase they were sent in, lost / out of order:");
    for (int phase = 0; phase < kPhases; ++phase)
        if (receipts.sentIn[phase] > 0)
            std::printf("%s %s %ld / %ld", phase ? "," : "", kPhaseNames[phase],
                        receipts.sentIn[phase] * (players - 1) - receipts.distinctIn[phase],
                        receipts.outOfOrderIn[phase]);
    std::printf("\n");
    std::printf("frames the server dropped for a full send buffer: %ld (%ld lines on its standard error)\n",
                console.drops, console.dropLines);
    std::printf("departures seen by the players: %ld; frames of unknown sender or id: %ld\n", receipts.departures,
                receipts.unknownIds);
    std::printf("longest pause in a player's stream (gap between two frames of one sender; a frame every %.1f ms):\n",
                ms(periodNs));
    std::printf("  without upgrades %.1f ms, with upgrades %.1f ms\n", ms(receipts.longestGapNs[0]),
                ms(receipts.longestGapNs[1]));
    if (!signalNs.empty()) {
        std::printf("  per upgrade, ms:");
        for (std::size_t k = 1; k <= signalNs.size(); ++k) std::printf(" %.0f", ms(receipts.longestGapInUpgradeNs[k]));
        std::printf("\n");
    }
    std::printf(
        "longest delay of a frame (from the start of its tick to its receipt): without upgrades %.1f ms, "
        "with upgrades %.1f ms\n",
        ms(receipts.longestDelayNs[0]), ms(receipts.longestDelayNs[1]));
    if (!signalNs.empty()) {
        std::printf("  per upgrade, ms:");
        for (std::size_t k = 1; k <= signalNs.size(); ++k)
            std::printf(" %.0f", ms(receipts.longestDelayInUpgradeNs[k]));
        std::printf("\n");
    }
    std::printf(
        "longest time between two ticks of the senders (the bench's own stalls): without upgrades %.1f ms, "
        "with upgrades %.1f ms\n",
        ms(receipts.longestTickGapNs[0]), ms(receipts.longestTickGapNs[1]));
    if (!signalNs.empty()) {
        std::printf("SIGUSR2 to \"Server upgraded\": median %.1f ms, longest %.1f ms", ms(percentile(toUpgraded, 0.5)),
                    ms(percentile(toUpgraded, 1.0)));
        std::printf(" (to \"Upgrading server to\": median %.1f ms, longest %.1f ms)\n",
                    ms(percentile(toUpgrading, 0.5)), ms(percentile(toUpgrading, 1.0)));
    }
    std::printf("server descriptors: %d before the first upgrade, %d after the last\n", fdsBefore, fdsAfter);
    std::printf("server RSS: %ld kB before the first upgrade, %ld kB after the last\n", rssBefore, rssAfter);
    if (laterPhases) {
        printStalled(stalled, receipts);
        printHandBacks(handBacks, receipts, crashing,
                       receipts.sentIn[kHandBackPhase] * (players - 1) - receipts.distinctIn[kHandBackPhase],
                       receipts.outOfOrderIn[kHandBackPhase]);
        std::printf("server descriptors and RSS after these phases: %d, %ld kB\n", fdsAtEnd, rssAtEnd);
    } else {
        std::printf("console-stalled and hand-back phases skipped: %s\n",
                    serverGone ? "the server's output ended" : "an upgrade did not complete");
    }
    std::printf("server exit: %s %d\n", WIFEXITED(status) ? "code" : "signal",
                WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
    if (console.otherErrorCount > 0) {
        std::printf("other lines on the server's standard error: %ld, the first:\n", console.otherErrorCount);
        for (const auto& line : console.otherErrors) std::printf("  %s\n", line.c_str());
    }
    std::fflush(stdout);
    return 0;
}
