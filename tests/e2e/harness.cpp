#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>

extern char** environ;

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

void ignoreBrokenPipes() {
    static std::once_flag once;
    std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

std::vector<std::string> splitWords(const char* text) {
    std::vector<std::string> words;
    std::string word;
    for (const char* p = text;; ++p) {
        if (*p == 0 || *p == ' ' || *p == '\t') {
            if (!word.empty()) words.push_back(word);
            word.clear();
            if (*p == 0) return words;
        } else {
            word += *p;
        }
    }
}

int msLeft(Clock::time_point end) {
    auto left = std::chrono::duration_cast<Ms>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

const std::vector<std::string>& serverCommand() {
    static const std::vector<std::string> command = [] {
        const char* env = std::getenv("GAMESERVER_COMMAND");
        std::vector<std::string> words = env ? splitWords(env) : std::vector<std::string>{};
        if (words.empty()) words.push_back(GAMESERVER_BIN);
        return words;
    }();
    return command;
}

bool serverIsWindows() {
    for (const auto& word : serverCommand()) {
        std::string lower = word;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower.size() >= 4 && lower.compare(lower.size() - 4, 4, ".exe") == 0) return true;
    }
    return false;
}

int stopSignal() { return serverIsWindows() ? SIGINT : SIGTERM; }

// ---------------------------------------------------------------- Process

Process::Process(const std::vector<std::string>& args, const std::vector<std::string>& command,
                 const std::vector<std::string>& environment) {
    ignoreBrokenPipes();
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // The server gets the signal handling of a fresh process, not ours.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> all = command.empty() ? serverCommand() : command;
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> added = environment;
    std::vector<char*> env;
    for (char** e = environ; *e; ++e) env.push_back(*e);
    for (auto& e : added) env.push_back(e.data());
    env.push_back(nullptr);
    // A bare program name is looked up on PATH.
    int rc = posix_spawnp(&pid_, all[0].c_str(), &actions, &attr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    // Our ends only: a read finds the pipe empty rather than waiting in it.
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);
    ::fcntl(err[0], F_SETFL, O_NONBLOCK);
    stdout_.fd = out[0];
    stderr_.fd = err[0];
    if (rc != 0) {
        ADD_FAILURE() << "posix_spawn " << all[0] << ": " << std::strerror(rc);
        pid_ = -1;
        reaped_ = true;
    }
    stdin_ = in[1];
    outReader_ = std::thread([this] { readLoop(stdout_); });
    errReader_ = std::thread([this] { readLoop(stderr_); });
}

Process::~Process() {
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    closeInput();
    resumeReading(Stream::Out);
    resumeReading(Stream::Err);
    outReader_.join();
    errReader_.join();
    for (const auto& line : stderr_.lines)
        for (const char* report : {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error:"})
            if (line.find(report) != std::string::npos) ADD_FAILURE() << "server: " << line;
    if (::testing::Test::HasFailure()) {
        for (Stream s : {Stream::Out, Stream::Err}) {
            const auto& o = out(s);
            std::size_t from = o.lines.size() > 80 ? o.lines.size() - 80 : 0;
            std::cerr << "---- server " << (s == Stream::Out ? "stdout" : "stderr") << " (from line " << from
                      << ", cursor " << o.cursor << ")\n";
            for (std::size_t i = from; i < o.lines.size(); ++i) std::cerr << o.lines[i] << "\n";
        }
    }
}

// Each read is made under the lock, after a look at the pause: once
// pauseReading has returned, nothing more is taken from the pipe.
void Process::readLoop(Output& o) {
    char buf[4096];
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return !o.paused; });
        }
        pollfd p{o.fd, POLLIN, 0};
        if (::poll(&p, 1, -1) < 0 && errno != EINTR) break;
        std::lock_guard<std::mutex> lock(mutex_);
        if (o.paused) continue;
        ssize_t n = ::read(o.fd, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            if (!o.partial.empty()) o.lines.push_back(o.partial);
            o.partial.clear();
            o.closed = true;
            ::close(o.fd);
            o.fd = -1;
            changed_.notify_all();
            return;
        }
        o.partial.append(buf, static_cast<std::size_t>(n));
        std::size_t start = 0, nl;
        while ((nl = o.partial.find('\n', start)) != std::string::npos) {
            // Windows text output ends its lines with CR LF.
            std::size_t end = nl > start && o.partial[nl - 1] == '\r' ? nl - 1 : nl;
            o.lines.push_back(o.partial.substr(start, end - start));
            start = nl + 1;
        }
        o.partial.erase(0, start);
        changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    o.closed = true;
    ::close(o.fd);
    o.fd = -1;
    changed_.notify_all();
}

void Process::type(const std::string& line) { typePart(line + "\n"); }

void Process::typePart(const std::string& text) {
    std::size_t done = 0;
    while (stdin_ >= 0 && done < text.size()) {
        ssize_t n = ::write(stdin_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
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
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (Clock::now() >= end) return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
    // Let the readers take the last lines (of the streams they read).
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, end + 5s, [this] {
        return (stdout_.closed || stdout_.paused) && (stderr_.closed || stderr_.paused);
    });
    return exitStatus_;
}

int Process::openHandles() const {
    std::string path = "/proc/" + std::to_string(pid_) + "/fd";
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return -1;
    int n = 0;
    while (dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.') ++n;
    ::closedir(dir);
    return n;
}

bool Process::refuseNewHandles() {
    std::string path = "/proc/" + std::to_string(pid_) + "/fd";
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return false;
    std::vector<bool> used;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        auto n = static_cast<std::size_t>(std::atoi(e->d_name));
        if (used.size() <= n) used.resize(n + 1);
        used[n] = true;
    }
    ::closedir(dir);
    std::size_t lowestFree = 0;
    while (lowestFree < used.size() && used[lowestFree]) ++lowestFree;
    rlimit old{};
    if (::prlimit(pid_, RLIMIT_NOFILE, nullptr, &old) != 0) return false;
    rlimit lowered = old;
    lowered.rlim_cur = lowestFree;
    return ::prlimit(pid_, RLIMIT_NOFILE, &lowered, nullptr) == 0;
}

std::vector<std::string> Process::lines(Stream s) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out(s).lines;
}

void Process::skipSeen(Stream s) {
    std::lock_guard<std::mutex> lock(mutex_);
    out(s).cursor = out(s).lines.size();
}

void Process::pauseReading(Stream s) {
    std::lock_guard<std::mutex> lock(mutex_);
    out(s).paused = true;
}

bool Process::outputStalled(Stream s) const {
    int bytes = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Output& o = out(s);
        if (!o.paused || o.fd < 0 || ::ioctl(o.fd, FIONREAD, &bytes) != 0 || bytes == 0) return false;
    }
    return threadInPipeWrite(pid_) == 1;
}

void Process::resumeReading(Stream s) {
    std::lock_guard<std::mutex> lock(mutex_);
    out(s).paused = false;
    changed_.notify_all();
}

bool Process::waitUntil(Stream s, const std::function<bool(const std::vector<std::string>&)>& done, Ms timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    const Output& o = out(s);
    return changed_.wait_for(lock, timeout, [&] { return done(o.lines) || o.closed; }) && done(o.lines);
}

std::optional<std::string> Process::waitForMatch(Stream s, const std::function<bool(const std::string&)>& match,
                                                 Ms timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    Output& o = out(s);
    std::size_t checked = o.cursor;
    std::optional<std::string> found;
    changed_.wait_for(lock, timeout, [&] {
        for (; checked < o.lines.size(); ++checked) {
            if (match(o.lines[checked])) {
                found = o.lines[checked];
                o.cursor = checked + 1;
                return true;
            }
        }
        return o.closed;
    });
    return found;
}

bool Process::waitForLine(Stream s, const std::string& text, Ms timeout) {
    auto same = [&](const std::string& l) { return l == text; };
    return waitForMatch(s, same, timeout).has_value();
}

std::optional<std::string> Process::waitForLineStartingWith(Stream s, const std::string& prefix, Ms timeout) {
    auto starts = [&](const std::string& l) { return l.compare(0, prefix.size(), prefix) == 0; };
    return waitForMatch(s, starts, timeout);
}

::testing::AssertionResult Process::expectLines(Stream s, const std::vector<std::string>& expected, Ms timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    Output& o = out(s);
    changed_.wait_for(lock, timeout, [&] { return o.lines.size() >= o.cursor + expected.size() || o.closed; });
    std::vector<std::string> got(
        o.lines.begin() + static_cast<std::ptrdiff_t>(o.cursor),
        o.lines.begin() + static_cast<std::ptrdiff_t>(std::min(o.lines.size(), o.cursor + expected.size())));
    o.cursor += got.size();
    if (got == expected) return ::testing::AssertionSuccess();
    auto result = ::testing::AssertionFailure() << "expected lines:\n";
    for (const auto& l : expected) result << "  [" << l << "]\n";
    result << "got:\n";
    for (const auto& l : got) result << "  [" << l << "]\n";
    return result;
}

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

// ---------------------------------------------------------------- ProgramCopy

ProgramCopy::ProgramCopy() {
    char dir[] = "/tmp/gameserver-program.XXXXXX";
    dir_ = ::mkdtemp(dir);
    path_ = dir_ + "/gameserver";
    install();
}

ProgramCopy::~ProgramCopy() { std::filesystem::remove_all(dir_); }

void ProgramCopy::install(const std::string& source) {
    std::filesystem::copy_file(source.empty() ? serverCommand().back() : source, path_ + ".new",
                               std::filesystem::copy_options::overwrite_existing);
    ::chmod((path_ + ".new").c_str(), 0755);
    std::filesystem::rename(path_ + ".new", path_);
}

void ProgramCopy::installScript(const std::string& text, unsigned mode) {
    std::ofstream(path_ + ".new") << text;
    ::chmod((path_ + ".new").c_str(), static_cast<mode_t>(mode));
    std::filesystem::rename(path_ + ".new", path_);
}

void ProgramCopy::remove() { std::filesystem::remove(path_); }

std::optional<std::string> upgraded(Process& server, const ProgramCopy& program, Ms timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    if (!server.waitForLine(Stream::Out, "Upgrading server to " + program.path() + "...", timeout)) return std::nullopt;
    return server.waitForLineStartingWith(
        Stream::Out, "Server upgraded to release ",
        std::max(Ms(0), std::chrono::duration_cast<Ms>(end - std::chrono::steady_clock::now())));
}

// ---------------------------------------------------------------- Server

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

std::unique_ptr<Server> Server::start(const std::vector<std::string>& extra, const std::vector<std::string>& command,
                                      const std::vector<std::string>& environment) {
    // Another process may take the port between our look and the server's
    // bind; then try another one.
    for (int attempt = 0; attempt < 5; ++attempt) {
        int port = freePort();
        std::vector<std::string> args{"-onlylan", "-port", std::to_string(port)};
        args.insert(args.end(), extra.begin(), extra.end());
        auto server = std::make_unique<Server>(args, port, command, environment);
        std::string waiting = "Waiting for connections on port " + std::to_string(port);
        bool ready = server->waitUntil(Stream::Out, [&](const std::vector<std::string>& lines) {
            for (const auto& l : lines)
                if (l == waiting || l.rfind("establish listener", 0) == 0) return true;
            return false;
        });
        if (ready && server->waitForLine(Stream::Out, waiting, 0ms)) return server;
        if (!ready) {
            ADD_FAILURE() << "the server did not start listening";
            return nullptr;
        }
    }
    ADD_FAILURE() << "no free port found";
    return nullptr;
}

// ---------------------------------------------------------------- Client

Client::Client(int port) { open(port, "", 0); }

Client::Client(int port, const std::string& sourceAddress, int receiveBuffer) {
    open(port, sourceAddress, receiveBuffer);
}

void Client::open(int port, const std::string& sourceAddress, int receiveBuffer) {
    ignoreBrokenPipes();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        // Small segments keep the server's send buffer small as well: on
        // loopback it grows with the segment size to megabytes.
        int segment = 536;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    }
    if (!sourceAddress.empty()) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        if (::inet_pton(AF_INET, sourceAddress.c_str(), &source.sin_addr) != 1 ||
            ::bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            ADD_FAILURE() << "bind to " << sourceAddress << ": " << std::strerror(errno);
            ::close(fd_);
            fd_ = -1;
            return;
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ADD_FAILURE() << "connect to port " << port << ": " << std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        return;
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Client::~Client() { close(); }

void Client::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void Client::reset() {
    if (fd_ < 0) return;
    linger abort{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close();
}

void Client::shutdownSend() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

std::string Client::localAddress() const {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    char text[INET_ADDRSTRLEN] = "";
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return text;
}

int Client::localPort() const {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

bool Client::send(const Bytes& bytes, bool mustSucceed) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = fd_ < 0 ? -1 : ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (mustSucceed) ADD_FAILURE() << "send: " << std::strerror(errno);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool Client::fill(Ms timeout) {
    if (fd_ < 0 || peerClosed_) return false;
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (r <= 0) return true;
    std::uint8_t buf[65536];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
        buffered_.insert(buffered_.end(), buf, buf + n);
        return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    peerClosed_ = true;
    return false;
}

Bytes Client::recvExactly(std::size_t n, Ms timeout) {
    auto end = Clock::now() + timeout;
    while (buffered_.size() < n && Clock::now() < end)
        if (!fill(Ms(msLeft(end)))) break;
    std::size_t take = std::min(n, buffered_.size());
    Bytes got(buffered_.begin(), buffered_.begin() + static_cast<std::ptrdiff_t>(take));
    buffered_.erase(buffered_.begin(), buffered_.begin() + static_cast<std::ptrdiff_t>(take));
    return got;
}

bool Client::nextFrame(Bytes& frame, Ms timeout) {
    auto end = Clock::now() + timeout;
    for (;;) {
        if (buffered_.size() >= 2) {
            std::size_t len = pkt::frameLength(buffered_[1]);
            if (len == 0) len = 2;
            if (buffered_.size() >= len) {
                frame.assign(buffered_.begin(), buffered_.begin() + static_cast<std::ptrdiff_t>(len));
                buffered_.erase(buffered_.begin(), buffered_.begin() + static_cast<std::ptrdiff_t>(len));
                return true;
            }
        }
        if (closed()) return false;
        std::size_t before = buffered_.size();
        fill(Ms(msLeft(end)));
        if (buffered_.size() == before && Clock::now() >= end) return false;
    }
}

Bytes Client::recvFrame(Ms timeout) {
    Bytes f;
    nextFrame(f, timeout);
    return f;
}

bool Client::expectNothingMore(Ms quiet) {
    if (!buffered_.empty()) return false;
    auto end = Clock::now() + quiet;
    while (Clock::now() < end) {
        if (!fill(Ms(msLeft(end)))) return false;
        if (!buffered_.empty()) return false;
    }
    return true;
}

bool Client::waitForClose(Ms timeout) {
    auto end = Clock::now() + timeout;
    while (!peerClosed_ && Clock::now() < end) fill(Ms(msLeft(end)));
    return peerClosed_;
}

// ---------------------------------------------------------------- packets

namespace pkt {

std::size_t frameLength(std::uint8_t id) { return id < 22 ? 1u + kLengths[id] : 0u; }

Bytes text(const std::string& s, std::size_t width) {
    Bytes b(width, 0);
    std::memcpy(b.data(), s.data(), std::min(width, s.size()));
    return b;
}

Bytes i32(std::int32_t v) {
    auto u = static_cast<std::uint32_t>(v);
    return {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u >> 16),
            static_cast<std::uint8_t>(u >> 24)};
}

namespace {

Bytes f32(float v) {
    std::uint32_t u;
    std::memcpy(&u, &v, 4);
    return i32(static_cast<std::int32_t>(u));
}

Bytes f64(double v) {
    std::uint64_t u;
    std::memcpy(&u, &v, 8);
    Bytes b;
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
    return b;
}

}  // namespace

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes frame(std::uint8_t id, const Bytes& payload, std::uint8_t lead) {
    Bytes f{lead, id};
    f.insert(f.end(), payload.begin(), payload.end());
    if (f.size() < frameLength(id)) f.resize(frameLength(id), 0);
    return f;
}

Bytes hello(const std::string& name, const std::string& password, float version) {
    return frame(5, cat({f32(version), text(name, 64), text(password, 64)}));
}

Bytes chat(const std::string& s, std::uint8_t lead) { return frame(3, text(s, 500), lead); }

Bytes songSelected(std::int32_t songId, const std::string& name, std::int32_t arg1, std::int32_t arg2,
                   std::int32_t arg3, std::uint8_t lead) {
    return frame(15, cat({i32(songId), text(name, 64), i32(arg1), i32(arg2), i32(arg3)}), lead);
}

Bytes scoreReport(double score, std::int32_t numerator, std::int32_t denominator, std::uint8_t lead) {
    return frame(1, cat({Bytes(12, 0xAB), f64(score), i32(numerator), i32(denominator)}), lead);
}

Bytes helloReply(std::uint8_t id, std::uint8_t status, const std::string& name) {
    return frame(10, cat({f32(0.9f), text(name, 64), Bytes{id, status}}));
}

Bytes playerInfo(std::uint8_t id, const std::string& name, std::uint8_t gated, std::uint8_t songFlag,
                 std::uint8_t isHost, std::int32_t value) {
    return frame(11, cat({text(name, 64), Bytes{id, gated, songFlag, isHost}, i32(value)}));
}

Bytes hostAssigned(std::uint8_t id) { return frame(14, {id}); }
Bytes playerLeft(std::uint8_t id) { return frame(12, {id}); }
Bytes lobbyValue(std::int32_t value) { return frame(18, i32(value)); }
Bytes byteValue(std::uint8_t id, std::uint8_t value, std::uint8_t lead) { return frame(id, {value}, lead); }

std::string hex(const Bytes& b) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i) s += ' ';
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

}  // namespace pkt

// ---------------------------------------------------------------- helpers

namespace {

std::string shown(const std::string& clientText) {
    std::string s = clientText;
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return s;
}

}  // namespace

std::unique_ptr<Client> join(Server& server, const std::string& name, const std::vector<Client*>& others) {
    return join(server, std::make_unique<Client>(server.port()), name, others);
}

std::unique_ptr<Client> join(Server& server, std::unique_ptr<Client> c, const std::string& name,
                             const std::vector<Client*>& others) {
    c->send(pkt::hello(name));
    Bytes reply = c->recvFrame();
    if (reply.size() != 72 || reply[1] != 10 || reply[71] != 0) {
        ADD_FAILURE() << "login of " << name << " answered with " << pkt::hex(reply);
        return c;
    }
    std::string registered(reinterpret_cast<const char*>(&reply[6]), 64);
    registered.resize(std::strlen(registered.c_str()));
    for (;;) {
        Bytes f = c->recvFrame();
        if (f.size() < 2) {
            ADD_FAILURE() << "welcome of " << name << " ended early";
            return c;
        }
        if (f[1] == 18) break;
    }
    for (Client* o : others) {
        Bytes info = o->recvFrame();
        EXPECT_TRUE(info.size() == 74 && info[1] == 11 && info[66] == reply[70])
            << "PlayerInfo about " << name << " expected, got " << pkt::hex(info);
    }
    EXPECT_TRUE(server.waitForLine(Stream::Out, "Player \"" + shown(registered) + "\" connected."));
    return c;
}

std::string acceptedSocket(const Process& server, const Client& client) {
    std::string prefix =
        "Accepted connection from " + client.localAddress() + ":" + std::to_string(client.localPort()) + ", socket ";
    for (const auto& line : server.lines(Stream::Out))
        if (line.rfind(prefix, 0) == 0 && line.back() == '.')
            return line.substr(prefix.size(), line.size() - prefix.size() - 1);
    ADD_FAILURE() << "no accept line for local port " << client.localPort();
    return "";
}

void barrier(Client& from, const std::vector<Client*>& others) {
    const Bytes mark{0x5A, 8};
    from.send(mark);
    for (Client* o : others) EXPECT_BYTES(o->recvFrame(), mark);
}

}  // namespace e2e
