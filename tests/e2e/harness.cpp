#include "harness.h"

#include <signal.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace e2e {

namespace {

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

std::vector<std::string> commandLine(const std::vector<std::string>& args, const std::vector<std::string>& command) {
    std::vector<std::string> all = command.empty() ? serverCommand() : command;
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

driver::Process::Options withEnvironment(const std::vector<std::string>& environment,
                                         const std::vector<std::pair<int, int>>& descriptors) {
    driver::Process::Options options;
    options.environment = environment;
    options.descriptors = descriptors;
    return options;
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
                 const std::vector<std::string>& environment, const std::vector<std::pair<int, int>>& descriptors)
    : driver::Process(commandLine(args, command), withEnvironment(environment, descriptors)) {
    if (!started()) ADD_FAILURE() << startFailure();
}

Process::~Process() {
    finish();
    for (const auto& line : lines(Stream::Err))
        for (const char* report : {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error:"})
            if (line.find(report) != std::string::npos) ADD_FAILURE() << "server: " << line;
    if (::testing::Test::HasFailure()) {
        for (Stream s : {Stream::Out, Stream::Err}) {
            const auto all = lines(s);
            std::size_t from = all.size() > 80 ? all.size() - 80 : 0;
            std::cerr << "---- server " << (s == Stream::Out ? "stdout" : "stderr") << " (from line " << from
                      << ", cursor " << output(s).cursor() << ")\n";
            for (std::size_t i = from; i < all.size(); ++i) std::cerr << all[i] << "\n";
        }
    }
}

::testing::AssertionResult Process::expectLines(Stream s, const std::vector<std::string>& expected, Ms timeout) {
    std::vector<std::string> got = output(s).takeNext(expected.size(), timeout);
    if (got == expected) return ::testing::AssertionSuccess();
    auto result = ::testing::AssertionFailure() << "expected lines:\n";
    for (const auto& l : expected) result << "  [" << l << "]\n";
    result << "got:\n";
    for (const auto& l : got) result << "  [" << l << "]\n";
    return result;
}

std::unique_ptr<Server> Server::start(const std::vector<std::string>& extra, const std::vector<std::string>& command,
                                      const std::vector<std::string>& environment,
                                      const std::vector<std::pair<int, int>>& descriptors) {
    std::string failure;
    auto server = driver::startListening<Server>(
        [&](int port) {
            std::vector<std::string> args{"-onlylan", "-port", std::to_string(port)};
            args.insert(args.end(), extra.begin(), extra.end());
            return std::make_unique<Server>(args, port, command, environment, descriptors);
        },
        failure);
    if (!server) ADD_FAILURE() << failure;
    return server;
}

// ---------------------------------------------------------------- the upgrade

ProgramCopy::ProgramCopy() : driver::ProgramCopy(serverCommand().back(), "gameserver-program") {}

std::vector<std::string> ProgramCopy::command() const {
    std::vector<std::string> command = serverCommand();
    command.back() = path();
    return command;
}

std::string ProgramCopy::shownPath() const {
    if (!serverIsWindows()) return path();
    std::string shown = "Z:" + path();
    for (char& c : shown)
        if (c == '/') c = '\\';
    return shown;
}

void requestUpgrade(Server& server) {
    if (!serverIsWindows()) {
        server.signal(SIGUSR2);
        return;
    }
    Process ask({"-upgrade", std::to_string(server.port())});
    EXPECT_EQ(ask.waitForExit(), 0) << "the upgrade request was not taken";
}

std::optional<std::string> upgraded(Process& server, const ProgramCopy& program, Ms timeout) {
    auto end = driver::Clock::now() + timeout;
    if (!server.waitForLine(Stream::Out, "Upgrading server to " + program.shownPath() + "...", timeout))
        return std::nullopt;
    return server.waitForLineStartingWith(Stream::Out, "Server upgraded to release ", driver::timeLeft(end));
}

std::vector<int> processesOnPort(int port) {
    const std::string option = "-port " + std::to_string(port);
    std::vector<int> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream file(entry.path() / "cmdline");
        std::string line((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::replace(line.begin(), line.end(), '\0', ' ');
        std::size_t at = line.find(option);
        if (line.find("gameserver") != std::string::npos && at != std::string::npos &&
            (at + option.size() == line.size() || line[at + option.size()] == ' '))
            found.push_back(std::stoi(name));
    }
    return found;
}

// ---------------------------------------------------------------- Client

Client::Client(int port, const std::string& sourceAddress, int receiveBuffer)
    : driver::Client(port, sourceAddress, receiveBuffer) {
    if (!connected()) ADD_FAILURE() << error();
}

bool Client::send(const Bytes& bytes, bool mustSucceed) {
    bool sent = driver::Client::send(bytes);
    if (!sent && mustSucceed) ADD_FAILURE() << error();
    return sent;
}

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
