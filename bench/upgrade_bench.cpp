// The upgrade in place under load: the real server binary, started from a
// copy in a folder of the bench's own, serves N players on loopback who each
// send numbered Relay6 frames at a fixed rate; after a warm-up without
// upgrades, a fresh copy of the binary is renamed over the server's path and
// the server gets SIGUSR2, once a second. Every player checks that it gets
// every other player's frames, each once and in order, and notes the longest
// gap between two frames of the same sender. Prints the frames lost and out
// of order, the longest pause with and without upgrades, the time from the
// signal to "Server upgraded", and the server's descriptors and memory before
// the first upgrade and after the last. Figures only; nothing here passes or
// fails.
//
// Usage: upgrade_bench SERVER_BINARY [players=63] [rate=60] [upgrades=20]
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
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
    void install() {
        std::error_code error;
        std::filesystem::copy_file(source_, path_ + ".new", std::filesystem::copy_options::overwrite_existing, error);
        if (error) fail("cannot copy " + source_ + ": " + error.message());
        ::chmod((path_ + ".new").c_str(), 0755);
        std::filesystem::rename(path_ + ".new", path_, error);
        if (error) fail("cannot rename over " + path_ + ": " + error.message());
    }

private:
    std::string source_, dir_, path_;
};

// ---------------------------------------------------------------- the server's console

// The server's standard streams, read all the time so that its console
// never stalls. Notes the upgrade lines and the drop reports.
struct Console {
    std::mutex lock;
    std::condition_variable changed;
    int upgradesDone = 0;
    int upgradesFailed = 0;
    std::vector<long long> upgradingNs;  // "Upgrading server to ..." seen
    std::vector<long long> upgradedNs;   // "Server upgraded ..." seen
    std::string lastUpgraded;
    long drops = 0;
    long dropLines = 0;
    std::vector<std::string> otherErrors;
    long otherErrorCount = 0;
    bool ended[2] = {false, false};
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

void onErrLine(Console& console, const std::string& line) {
    std::lock_guard<std::mutex> guard(console.lock);
    long more = 0;
    if (line == "Send buffer to small, packet was dropped.") {
        ++console.drops;
        ++console.dropLines;
    } else if (std::sscanf(line.c_str(), "Send buffer to small, %ld more packets were dropped.", &more) == 1) {
        console.drops += more;
        ++console.dropLines;
    } else {
        if (line.rfind("Upgrade failed", 0) == 0) {
            ++console.upgradesFailed;
            console.changed.notify_all();
        }
        ++console.otherErrorCount;
        if (console.otherErrors.size() < 10) console.otherErrors.push_back(line);
    }
}

void readStream(Console& console, int fd, bool err) {
    std::string pending;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        long long at = nowNs();
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = pending.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (err)
                onErrLine(console, line);
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

// Figures the receiving thread keeps, per phase: 0 the warm-up, 1 the
// upgrades (and the second after the last).
struct Receipts {
    std::atomic<int> phase{0};
    std::atomic<int> upgrade{0};  // the upgrade under way: 1..upgrades, 0 before the first
    std::atomic<long> distinct{0};
    long outOfOrder = 0;
    long repeated = 0;
    long departures = 0;
    long unknownIds = 0;
    long long longestGapNs[2] = {0, 0};
    long long longestDelayNs[2] = {0, 0};          // from the start of the frame's tick to its receipt
    std::vector<long long> longestGapInUpgradeNs;  // index: upgrade
    std::vector<long long> longestDelayInUpgradeNs;
    // Written by the sending thread: the longest time between the starts of
    // two ticks, a stall of the bench itself when it is well over a tick.
    long long longestTickGapNs[2] = {0, 0};
    std::vector<std::atomic<long long>> tickNs;  // when the tick that sends frames numbered n began, by n
    std::atomic<bool> running{true};
    explicit Receipts(std::size_t ticks) : tickNs(ticks) {}
};

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
    if (number != f.last + 1) ++r.outOfOrder;
    if (number > f.last) f.last = number;
    int phase = r.phase.load(std::memory_order_relaxed);
    int k = r.upgrade.load(std::memory_order_relaxed);
    bool inUpgrade = k > 0 && static_cast<std::size_t>(k) < r.longestGapInUpgradeNs.size();
    if (number < r.tickNs.size()) {
        long long tick = r.tickNs[number].load(std::memory_order_acquire);
        if (tick != 0) {
            r.longestDelayNs[phase] = std::max(r.longestDelayNs[phase], at - tick);
            if (inUpgrade) r.longestDelayInUpgradeNs[k] = std::max(r.longestDelayInUpgradeNs[k], at - tick);
        }
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
                else if (id == kRelay6)
                    onRelay6(r, p, self, f[0], static_cast<std::uint32_t>(readInt32(f + 2)), at);
                pos += len;
            }
            p.buf.erase(p.buf.begin(), p.buf.begin() + static_cast<std::ptrdiff_t>(pos));
        }
    }
}

long long percentile(std::vector<long long> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 5) {
        std::fprintf(stderr, "usage: upgrade_bench SERVER_BINARY [players=63] [rate=60] [upgrades=20]\n");
        return 2;
    }
    const std::string binary = argv[1];
    int players = argc > 2 ? std::atoi(argv[2]) : 63;
    int rate = argc > 3 ? std::atoi(argv[3]) : 60;
    int upgrades = argc > 4 ? std::atoi(argv[4]) : 20;
    if (players < 2 || players > 63 || rate < 1 || rate > 1000 || upgrades < 0) {
        std::fprintf(stderr, "usage: upgrade_bench SERVER_BINARY [players 2..63] [rate 1..1000] [upgrades 0..]\n");
        return 2;
    }
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
    const auto longestRun = kWarmUp + upgrades * (kUpgradeEvery + kUpgradeWait) + kTail + 5s;
    Receipts receipts(static_cast<std::size_t>(rate) * static_cast<std::size_t>(longestRun.count()));
    receipts.longestGapInUpgradeNs.assign(static_cast<std::size_t>(upgrades) + 1, 0);
    receipts.longestDelayInUpgradeNs.assign(static_cast<std::size_t>(upgrades) + 1, 0);
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
            if (previous != 0) {
                long long& longest = receipts.longestTickGapNs[receipts.phase.load(std::memory_order_relaxed)];
                longest = std::max(longest, start - previous);
            }
            previous = start;
            if (number < receipts.tickNs.size()) receipts.tickNs[number].store(start, std::memory_order_release);
            for (std::size_t i = 0; i < all.size(); ++i) {
                frame[0] = static_cast<std::uint8_t>(i);
                writeInt32(frame + 2, static_cast<std::int32_t>(number));
                if (sendAll(all[i].sock, frame, sizeof frame))
                    ++sent[i];
                else
                    ++sendFailures;
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
    std::printf("upgrades completed: %d of %d%s%s\n", console.upgradesDone, upgrades,
                console.lastUpgraded.empty() ? "" : "; last line: ", console.lastUpgraded.c_str());
    std::printf("frames: %ld relayed of %ld expected; lost %ld, out of order %ld, repeated %ld; send failures %ld\n",
                received, expected, expected - received, receipts.outOfOrder, receipts.repeated, sendFailures);
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
    std::printf("server exit: %s %d\n", WIFEXITED(status) ? "code" : "signal",
                WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
    if (console.otherErrorCount > 0) {
        std::printf("other lines on the server's standard error: %ld, the first:\n", console.otherErrorCount);
        for (const auto& line : console.otherErrors) std::printf("  %s\n", line.c_str());
    }
    std::fflush(stdout);
    return 0;
}
