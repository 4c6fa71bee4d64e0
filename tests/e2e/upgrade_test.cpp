// The upgrade in place: on SIGUSR2 the server carries on as the program that
// now stands at the path it was started from, with every connection, the
// lobby and its console; or, where that program cannot take over, says why
// and serves on.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "harness.h"

namespace e2e {
namespace {

using namespace pkt;
using Clock = std::chrono::steady_clock;

const char* const kLinuxOnly = "the program is replaced in place on Linux only";

using driver::runningFile;

// The bytes queued in the server's socket of a connection: what it has not
// sent yet, and what it has not read yet.
struct Queues {
    long sending = -1;
    long receiving = -1;
};
Queues serverQueues(int serverPort, int clientPort) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        auto port = [](const std::string& address) { return std::stoi(address.substr(address.find(':') + 1), nullptr, 16); };
        if (port(local) != serverPort || port(remote) != clientPort) continue;
        std::size_t colon = queues.find(':');
        return Queues{std::stol(queues.substr(0, colon), nullptr, 16), std::stol(queues.substr(colon + 1), nullptr, 16)};
    }
    return Queues{};
}

// The descriptors of a process that stay open when it starts a program.
std::vector<int> inheritable(pid_t pid) {
    std::vector<int> open;
    std::string dir = "/proc/" + std::to_string(pid) + "/fdinfo";
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream info(entry.path());
        std::string key;
        long flags = 0;
        while (info >> key && key != "flags:") info.ignore(1 << 20, '\n');
        info >> std::oct >> flags;
        if ((flags & O_CLOEXEC) == 0) open.push_back(std::stoi(entry.path().filename().string()));
    }
    std::sort(open.begin(), open.end());
    return open;
}

// A build of the server with one fault, as tests/faults/put_fault.cmake
// names them: for the Windows server, the one of its own build.
std::string faultyServer(const std::string& fault) {
    if (!serverIsWindows()) return std::string(GAMESERVER_FAULTY_DIR) + "/gameserver_" + fault;
    const std::string& exe = serverCommand().back();
    return exe.substr(0, exe.rfind('/')) + "/tests/gameserver_" + fault + ".exe";
}

// A listening socket of the test's on a loopback port of the system's
// choosing, close-on-exec; -1 where there is none.
int loopbackListener(int& port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
        ADD_FAILURE() << "no loopback listener: " << std::strerror(errno);
        ::close(listener);
        return -1;
    }
    port = ntohs(at.sin_port);
    return listener;
}

template <typename Condition>
bool eventually(Condition condition, Ms timeout = kWait) {
    auto end = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

TEST(e2eUpgrade, KeepsTheLobbyTheConsoleAndEveryConnection) {
    ProgramCopy program;
    auto server = Server::start({"-maxplayers", "2"}, program.command());
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    auto bob = join(*server, "bob", {alice.get()});
    server->type("maxplayers 4");
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Maxplayers set to 4"));
    auto carol = join(*server, "carol", {alice.get(), bob.get()});

    alice->send(songSelected(7, "Tune", 1, 2, 3));
    for (Client* c : {bob.get(), carol.get()}) EXPECT_BYTES(c->recvFrame(), songSelected(7, "Tune", 1, 2, 3));
    for (Client* c : {alice.get(), bob.get(), carol.get()}) c->send(frame(20));
    for (Client* c : {alice.get(), bob.get(), carol.get()}) EXPECT_BYTES(c->recvFrame(), frame(20));
    auto songStarted = Clock::now();
    EXPECT_TRUE(server->waitForLine(Stream::Out, "starting to play song Tune"));
    // Carol takes the stream frames, the others do not.
    carol->send(byteValue(21, 1));
    barrier(*carol, {alice.get(), bob.get()});

    // A connection that has not logged in, and half a frame the server has
    // taken in already.
    Client dave(server->port());
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Client ID 4"));
    const Bytes text = chat("across the upgrade");
    bob->send(Bytes(text.begin(), text.begin() + 200));
    EXPECT_TRUE(eventually([&] { return serverQueues(server->port(), bob->localPort()).receiving == 0; }));

    // And a console line typed only in part.
    server->typePart("say still ");

    program.install();
    const pid_t pid = server->pid();
    if (!serverIsWindows()) {
        EXPECT_NE(runningFile(pid).find("(deleted)"), std::string::npos);
    }
    requestUpgrade(*server);
    auto done = upgraded(*server, program);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->substr(done->find(',')), ", 4 clients kept.");
    // On Windows the process started stays, as the keeper of a new one.
    if (!serverIsWindows()) {
        EXPECT_EQ(runningFile(pid), program.path());
    }
    EXPECT_EQ(server->pid(), pid);

    // Nobody was told of a departure; the half frame completes.
    bob->send(Bytes(text.begin() + 200, text.end()));
    for (Client* c : {alice.get(), carol.get(), &dave}) EXPECT_BYTES(c->recvFrame(), text);
    EXPECT_TRUE(server->waitForLine(Stream::Out, "bob: across the upgrade"));
    const Bytes stream = byteValue(2, 0x42, 0x7F);
    alice->send(stream);
    EXPECT_BYTES(carol->recvFrame(), stream);
    barrier(*alice, {bob.get(), carol.get(), &dave});

    // The waiting connection logs in, under the limit set on the console,
    // and is briefed from the kept lobby: the song runs since before.
    std::this_thread::sleep_until(songStarted + 2s);
    dave.send(hello("dave"));
    EXPECT_BYTES(dave.recvFrame(), helloReply(4, 0, "dave"));
    EXPECT_BYTES(dave.recvFrame(), songSelected(7, "Tune", 1, 2, 0));
    EXPECT_BYTES(dave.recvFrame(), playerInfo(1, "alice", 0, 1, 1, 3));
    EXPECT_BYTES(dave.recvFrame(), playerInfo(2, "bob", 0, 0, 0, 3));
    EXPECT_BYTES(dave.recvFrame(), playerInfo(3, "carol", 0, 0, 0, 3));
    EXPECT_BYTES(dave.recvFrame(), lobbyValue(0));
    Bytes notice = dave.recvFrame();
    ASSERT_EQ(notice.size(), 502u);
    std::string started(notice.begin() + 2, notice.end());
    const std::string lead = "The current song was started ";
    ASSERT_EQ(started.compare(0, lead.size(), lead), 0) << started;
    EXPECT_GE(std::stoi(started.substr(lead.size())), 1) << "the running time went on counting";
    for (Client* c : {alice.get(), bob.get(), carol.get()}) EXPECT_BYTES(c->recvFrame(), playerInfo(4, "dave", 0, 0, 0, 3));
    Client eve(server->port());
    eve.send(hello("eve"));
    EXPECT_BYTES(eve.recvFrame(), helloReply(5, 3, "eve"));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Server is full"));
    for (Client* c : {alice.get(), bob.get(), carol.get(), &dave}) EXPECT_BYTES(c->recvFrame(), playerLeft(5));

    // The console's commands act on the same clients; the line begun before
    // the upgrade ends now.
    server->type("here");
    for (Client* c : {alice.get(), bob.get(), carol.get(), &dave}) EXPECT_BYTES(c->recvFrame(), chat("still here"));
    server->type("kick 2");
    EXPECT_BYTES(bob->recvFrame(), chat("You were kicked"));
    EXPECT_TRUE(bob->waitForClose());
    for (Client* c : {alice.get(), carol.get(), &dave}) EXPECT_BYTES(c->recvFrame(), playerLeft(2));

    server->signal(stopSignal());
    EXPECT_EQ(server->waitForExit(), 0);
    EXPECT_TRUE(server->lines(Stream::Err).empty());
    // Nothing of the server stays behind: every connection ends with it.
    for (Client* c : {alice.get(), carol.get(), &dave}) EXPECT_TRUE(c->waitForClose());
}

TEST(e2eUpgrade, UpgradesUnderTrafficLoseNoFrameAndLeaveNoHandle) {
    ProgramCopy program;
    auto server = Server::start({"-maxplayers", "16"}, program.command());
    ASSERT_TRUE(server);
    constexpr int kPlayers = 4;
    constexpr int kUpgrades = 5;
    std::vector<std::unique_ptr<Client>> players;
    for (int i = 0; i < kPlayers; ++i) {
        std::vector<Client*> others;
        for (auto& p : players) others.push_back(p.get());
        players.push_back(join(*server, "p" + std::to_string(i), others));
    }
    // What a Linux server holds; on Windows the process started is the
    // keeper, which holds no socket.
    const bool linux = !serverIsWindows();
    const int handles = linux ? server->openHandles() : 0;
    const std::vector<int> inheritedAtStart = linux ? inheritable(server->pid()) : std::vector<int>{};

    // Each player sends numbered frames; each checks that it gets every
    // other player's frames, each once and in order.
    std::atomic<bool> sending{true};
    std::atomic<int> faults{0};
    std::uint32_t sent[kPlayers] = {};
    std::array<std::array<std::atomic<std::uint32_t>, kPlayers>, kPlayers> got{};
    std::vector<std::thread> threads;
    for (int i = 0; i < kPlayers; ++i) {
        threads.emplace_back([&, i] {
            while (sending) {
                if (!players[i]->send(numbered(static_cast<std::uint8_t>(i), sent[i] + 1), false)) return;
                ++sent[i];
                std::this_thread::sleep_for(1ms);
            }
        });
        threads.emplace_back([&, i] {
            Bytes f;
            auto& last = got[i];
            while (players[i]->nextFrame(f, 3s)) {
                if (f[1] != 6) continue;  // newcomers coming and going
                if (f[0] >= kPlayers || numberOf(f) != last[f[0]] + 1) ++faults;
                else last[f[0]] = numberOf(f);
            }
        });
    }
    for (int k = 1; k <= kUpgrades; ++k) {
        std::this_thread::sleep_for(100ms);
        // A newcomer logs in between two upgrades, and leaves again.
        // The others' frames reach it before its reply.
        Client newcomer(server->port());
        newcomer.send(hello("new" + std::to_string(k)));
        Bytes reply;
        while (newcomer.nextFrame(reply, kWait) && reply[1] != 10) {
        }
        EXPECT_TRUE(reply.size() == 72 && reply[71] == 0) << hex(reply);
        newcomer.shutdownSend();
        EXPECT_TRUE(newcomer.waitForClose());
        program.install();
        requestUpgrade(*server);
        auto done = upgraded(*server, program);
        ASSERT_TRUE(done) << "upgrade " << k;
        // The newcomer may still be there, or gone already.
        const std::string kept = done->substr(done->find(','));
        EXPECT_TRUE(kept == ", 4 clients kept." || kept == ", 5 clients kept.") << *done;
    }
    std::this_thread::sleep_for(100ms);
    sending = false;
    for (std::size_t t = 0; t < threads.size(); t += 2) threads[t].join();
    // Every frame sent reaches every other player.
    for (int i = 0; i < kPlayers; ++i) {
        for (int from = 0; from < kPlayers; ++from) {
            if (from == i) continue;
            EXPECT_TRUE(eventually([&] { return got[i][from] == sent[from]; }))
                << "player " << i << " got " << got[i][from].load() << " of " << sent[from] << " from player " << from;
        }
    }
    // Nothing of the server's is left open for the programs it starts: the
    // descriptors open across a start are those it inherited.
    if (linux) {
        EXPECT_EQ(inheritable(server->pid()), inheritedAtStart);
    }
    // Every server replaced has ended.
    const std::size_t processes = linux ? 1 : 2;
    EXPECT_TRUE(eventually([&] { return processesOnPort(server->port()).size() == processes; }))
        << processesOnPort(server->port()).size() << " processes serve the port";
    for (auto& p : players) p->shutdownSend();
    for (std::size_t t = 1; t < threads.size(); t += 2) threads[t].join();
    EXPECT_EQ(faults, 0);
    EXPECT_GT(sent[0], 200u);

    players.clear();
    EXPECT_TRUE(server->waitUntil(Stream::Out, [](const std::vector<std::string>& lines) {
        return !lines.empty() && lines.back() == "number of clients: 0";
    }));
    if (linux) {
        EXPECT_EQ(server->openHandles(), handles - kPlayers) << "every handle of a client or an upgrade is closed";
    }

    EXPECT_TRUE(server->lines(Stream::Err).empty());
}

// Hundreds of help commands' output, through a stalled console and an
// upgrade, take a ThreadSanitizer build beside other tests longer than kWait.
constexpr Ms kHelpsWait{90000};

// Bytes the server could not send yet to a player who reads slowly, and lines
// it could not print yet to a console nobody reads, go out after the upgrade,
// whole and in order; the upgrade does not wait for either.
TEST(e2eUpgrade, UnsentBytesAndUnwrittenLinesCarryOver) {
    ProgramCopy program;
    auto server = Server::start({}, program.command());
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    auto slow = join(*server, std::make_unique<Client>(server->port(), "127.0.0.1", 2048), "slow", {alice.get()});
    auto carol = join(*server, "carol", {alice.get(), slow.get()});

    // Alice's numbered frames fill the sockets towards slow, who does not
    // read; carol reads each batch, so the server has relayed it. Once the
    // socket takes no more, the next batches wait in the server's send
    // buffer (two batches fit there with room to spare).
    std::uint32_t n = 0;
    auto batch = [&] {
        Bytes frames;
        for (int i = 0; i < 20; ++i) frames = cat({frames, numbered(0x61, ++n)});
        alice->send(frames);
        EXPECT_BYTES(carol->recvExactly(frames.size()), frames);
    };
    long before = -1, queued = 0;
    while (queued != before && n < 100000) {
        before = queued;
        batch();
        queued = serverQueues(server->port(), slow->localPort()).sending;
    }
    batch();

    if (serverIsWindows()) {
        // The keeper takes a Windows server's output as it comes: no console
        // holds its lines up.
        program.install();
        requestUpgrade(*server);
        ASSERT_TRUE(upgraded(*server, program));
        barrier(*carol, {alice.get()});
    } else {
        // A console that takes nothing: its pipe fills, then the server's queue.
        // The upgrade comes once the server's writer waits on the full pipe, so
        // that lines wait in its queue.
        const pid_t pid = server->pid();
        if (threadInPipeWrite(pid) < 0) GTEST_SKIP() << "the kernel does not tell where a thread sleeps";
        const std::size_t seen = server->lines(Stream::Out).size();
        server->pauseReading(Stream::Out);
        constexpr int kHelps = 300;
        for (int i = 0; i < kHelps; ++i) server->type("help");
        ASSERT_TRUE(eventually([&] { return server->outputStalled(Stream::Out); }, kHelpsWait))
            << "the server's writer never waited on its standard output";
        program.install();
        server->signal(SIGUSR2);
        EXPECT_TRUE(eventually([&] { return runningFile(pid) == program.path(); }, kHelpsWait));
        barrier(*carol, {alice.get()});
        for (const auto& l : server->lines(Stream::Out))
            ASSERT_EQ(l.find("Upgrading server"), std::string::npos) << "the console took its output after all";

        server->resumeReading(Stream::Out);
        ASSERT_TRUE(upgraded(*server, program, kHelpsWait));
        // Each line of help came out, or was counted as lost: the commands the
        // console had not carried out by the upgrade print after it.
        auto accounted = [&] {
            std::size_t lines = server->lines(Stream::Out).size() - seen - 2, lost = 0;
            for (const auto& l : server->lines(Stream::Err)) {
                std::size_t at = l.find(" lines of output were dropped.");
                if (at != std::string::npos) lost += std::stoul(l.substr(0, at));
            }
            return lines + lost;
        };
        const std::size_t helpLines = static_cast<std::size_t>(kHelps) * 14;
        EXPECT_TRUE(eventually([&] { return accounted() >= helpLines; }, kHelpsWait));
        EXPECT_EQ(accounted(), helpLines);
    }

    // Slow gets every frame, then carol's barrier.
    for (std::uint32_t k = 1; k <= n; ++k) {
        Bytes f = slow->recvFrame();
        ASSERT_EQ(f, numbered(0x61, k)) << "frame " << k << " of " << n;
    }
    EXPECT_EQ(slow->recvFrame(), Bytes({0x5A, 8}));
    for (const auto& l : server->lines(Stream::Err)) EXPECT_EQ(l.find("Send buffer"), std::string::npos) << l;
}

// Console input beyond what a state carries (64 KiB) is counted on the
// console, and the line it cut is passed over, not run in part.
TEST(e2eUpgrade, ConsoleInputBeyondWhatAnUpgradeCarriesIsCountedAndItsLinePassedOver) {
    if (serverIsWindows()) GTEST_SKIP() << kLinuxOnly;
    ProgramCopy program;
    auto server = Server::start({}, program.command());
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    server->type("say before");
    server->typePart("say " + std::string(70000, 'x'));
    EXPECT_BYTES(alice->recvFrame(), chat("before"));
    EXPECT_TRUE(eventually([&] { return server->unreadInput() == 0; })) << "the server read all that was typed";
    server->signal(SIGUSR2);
    ASSERT_TRUE(upgraded(*server, program));
    EXPECT_TRUE(server->waitForLine(
        Stream::Err, "70004 bytes of console input were not carried over: an upgrade carries 64 KiB of it at most."));
    server->type("the end of the long line");
    server->type("say after");
    EXPECT_BYTES(alice->recvFrame(), chat("after"));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Server: after"));
    for (const auto& l : server->lines(Stream::Out)) EXPECT_EQ(l.rfind("Unknown command", 0), std::string::npos);
}

TEST(e2eUpgrade, AProgramThatCannotTakeOverLeavesTheServerServing) {
    ProgramCopy program;
    auto server = Server::start({}, program.command());
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    auto bob = join(*server, "bob", {alice.get()});
    const std::string& path = program.path();
    const std::string shown = program.shownPath();
    struct Case {
        std::function<void()> put;
        std::string why;
    } const cases[] = {
        {[&] { program.remove(); }, "cannot run " + path + ": No such file or directory"},
        {[&] { program.installScript("#!/bin/sh\nexit 0\n", 0644); }, "cannot run " + path + ": Permission denied"},
        {[&] { program.installScript("#!/bin/sh\nexit 3\n"); },
         path + " ended with exit code 3 without answering: it is no server that can take over"},
        {[&] { program.installScript("#!/bin/sh\nexec sleep 60\n"); },
         path + " did not answer within 3 seconds: a release that cannot take over"},
        {[&] { program.installScript("#!/bin/sh\necho 'gameserver-handover formats 3,4 release 2.0.0' >&3\n"); },
         path + ": it reads state format 3,4, this server writes format 2"},
        {[&] {
             program.installScript("#!/bin/sh\necho 'gameserver-handover formats 1,2 release 9.0.0 refuses: too "
                                   "many clients' >&3\n");
         },
         path + " refuses the state: too many clients"},
        {[&] {
             program.installScript("#!/bin/sh\necho 'gameserver-handover formats 2 release 9.0.0 keeps 1 client' >&3\n");
         },
         path + " would keep 1 of 2 clients"},
        // Answers as a server would, but is a script, which the switch
        // could not start from the file checked.
        {[&] {
             program.installScript("#!/bin/sh\necho 'gameserver-handover formats 2 release 9.0.0 keeps 2 clients' >&3\n");
         },
         path + " is a script: an upgrade in place runs the server's program itself; put that at the path"},
    };
    // On Windows there is no check: the new process takes over or fails.
    const Case windowsCases[] = {
        {[&] { program.remove(); },
         "cannot run " + shown + ": File not found. (error 2)"},
        {[&] { program.installScript("not a program\n"); },
         "cannot run " + shown + ": Bad EXE format for " + shown + ". (error 193)"},
    };
    const std::size_t checked = serverIsWindows() ? std::size(windowsCases) : std::size(cases);
    for (const Case& c : serverIsWindows() ? std::vector<Case>(std::begin(windowsCases), std::end(windowsCases))
                                           : std::vector<Case>(std::begin(cases), std::end(cases))) {
        c.put();
        requestUpgrade(*server);
        EXPECT_TRUE(server->waitForLine(Stream::Out, "Upgrading server to " + shown + "..."));
        EXPECT_TRUE(server->waitForLine(Stream::Err, "Upgrade failed: " + c.why + "; the server serves on."));
        barrier(*alice, {bob.get()});
        barrier(*bob, {alice.get()});
    }
    // Programs that pass the check and then fail while they take over: each
    // hands everything back to the program that ran, which serves on in the
    // same process with every client, the half frame it had taken in, the
    // console's line typed in part and the lobby, and says why.
    alice->send(songSelected(7, "Tune", 1, 2, 3));
    EXPECT_BYTES(bob->recvFrame(), songSelected(7, "Tune", 1, 2, 3));
    const pid_t pid = server->pid();
    const std::string release = " (release " GAMESERVER_RELEASE ") ";
    std::vector<std::array<std::string, 2>> failing = {
        {"crash", "crashed with signal 11 while taking over"},
        {"overflow", "crashed with signal 11 while taking over"},
        {"hang", "did not take over within 5 seconds"},
        {"refuse", "refused the state: a client's socket (descriptor " + acceptedSocket(*server, *alice) +
                       ") is no TCP connection"},
    };
    // A Windows program's socket is its own, whose number the test cannot
    // know: the line is matched up to it.
    if (serverIsWindows())
        failing = {
            {"quit", "ended with exit code 3 while taking over"},
            {"crash", "crashed with exception 0xC0000005 while taking over"},
            {"hang", "did not take over within 5 seconds"},
            {"refuse", "refused the state: a client's socket (descriptor "},
        };
    int newcomers = 0;
    for (const auto& [fault, why] : failing) {
        SCOPED_TRACE(fault);
        const Bytes text = chat("handed back " + fault);
        bob->send(Bytes(text.begin(), text.begin() + 100));
        EXPECT_TRUE(eventually([&] { return serverQueues(server->port(), bob->localPort()).receiving == 0; }));
        server->typePart("say still ");
        program.install(faultyServer(fault));
        requestUpgrade(*server);
        EXPECT_TRUE(server->waitForLine(Stream::Out, "Upgrading server to " + shown + "..."));
        // A line ended while the new program takes over is carried out once,
        // by the server that serves after it.
        server->type("here");
        // A request repeated while the upgrade is under way is that upgrade:
        // the program that tells its outcome forgets it.
        if (fault == "hang") requestUpgrade(*server);
        // A program that ends at once never said its release.
        const std::string failed = "Upgrade failed: " + shown + (fault == "quit" ? " " : release) + why;
        if (serverIsWindows() && fault == "refuse") {
            EXPECT_TRUE(server->waitForLineStartingWith(Stream::Err, failed));
        } else {
            EXPECT_TRUE(server->waitForLine(Stream::Err, failed + "; the server serves on."));
        }
        EXPECT_EQ(server->pid(), pid);
        if (!serverIsWindows()) {
            EXPECT_EQ(runningFile(pid), path + " (deleted)") << "the program that ran runs again";
        }

        for (Client* c : {alice.get(), bob.get()}) EXPECT_BYTES(c->recvFrame(), chat("still here"));
        bob->send(Bytes(text.begin() + 100, text.end()));
        EXPECT_BYTES(alice->recvFrame(), text);
        Client newcomer(server->port());
        newcomer.send(hello("new"));
        EXPECT_BYTES(newcomer.recvFrame(), helloReply(3, 0, "new"));
        EXPECT_BYTES(newcomer.recvFrame(), songSelected(7, "Tune", 1, 2, 0));
        EXPECT_BYTES(newcomer.recvFrame(), playerInfo(1, "alice", 0, 1, 1, 3));
        EXPECT_BYTES(newcomer.recvFrame(), playerInfo(2, "bob", 0, 0, 0, 3));
        EXPECT_BYTES(newcomer.recvFrame(), lobbyValue(0));
        for (Client* c : {alice.get(), bob.get()}) EXPECT_BYTES(c->recvFrame(), playerInfo(3, "new", 0, 0, 0, 3));
        EXPECT_TRUE(server->waitForLine(Stream::Out, "Player \"new\" connected."));
        newcomer.close();
        ++newcomers;
        for (Client* c : {alice.get(), bob.get()}) EXPECT_BYTES(c->recvFrame(), playerLeft(3));
        barrier(*alice, {bob.get()});
    }
    // Nothing the server wrote before a hand-back was written again.
    std::size_t logins = 0;
    for (const auto& l : server->lines(Stream::Out)) logins += l == "Player \"new\" connected.";
    EXPECT_EQ(logins, static_cast<std::size_t>(newcomers));

    // Mended, it takes over.
    program.install();
    requestUpgrade(*server);
    auto done = upgraded(*server, program);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->substr(done->find(',')), ", 2 clients kept.");
    barrier(*alice, {bob.get()});
    EXPECT_EQ(server->lines(Stream::Err).size(), checked + failing.size());

    // A second request while an upgrade is under way is the same upgrade,
    // and a stop then still stops, with exit code 0.
    if (serverIsWindows()) program.install(faultyServer("hang"));
    else program.installScript("#!/bin/sh\nexec sleep 60\n");
    requestUpgrade(*server);
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Upgrading server to " + shown + "..."));
    requestUpgrade(*server);
    server->signal(stopSignal());
    EXPECT_EQ(server->waitForExit(), 0);
    std::size_t upgrades = 0;
    for (const auto& l : server->lines(Stream::Out)) upgrades += l.rfind("Upgrading server to ", 0) == 0;
    EXPECT_EQ(upgrades, checked + failing.size() + 2);
    EXPECT_EQ(server->lines(Stream::Out).back(), "Stopping server...");
    // No program that failed to take over is left holding a connection open.
    for (Client* c : {alice.get(), bob.get()}) EXPECT_TRUE(c->waitForClose());
}

// A stop asked for while a new program takes over waits for the old program
// to serve again after the hand-back, which then stops as it would have.
TEST(e2eUpgrade, AStopDuringAHandBackIsCarriedOutOnceTheOldProgramServes) {
    if (serverIsWindows()) GTEST_SKIP() << kLinuxOnly;
    ProgramCopy program;
    auto server = Server::start({}, program.command());
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    program.install(faultyServer("hang"));
    server->signal(SIGUSR2);
    EXPECT_TRUE(eventually([&] { return runningFile(server->pid()) == program.path(); })) << "the switch was made";
    server->signal(SIGTERM);
    EXPECT_TRUE(server->waitForLine(Stream::Err, "Upgrade failed: " + program.path() + " (release " GAMESERVER_RELEASE
                                                     ") did not take over within 5 seconds; the server serves on."));
    EXPECT_TRUE(server->waitForLine(Stream::Out, "Stopping server..."));
    EXPECT_EQ(server->waitForExit(), 0);
    EXPECT_TRUE(alice->waitForClose());
}

// The file that is checked is the file that is run: one put at the path after
// the check (here by the program checked) is not run, and the next upgrade
// checks it.
TEST(e2eUpgrade, TheProgramCheckedIsTheProgramRun) {
    if (serverIsWindows()) GTEST_SKIP() << kLinuxOnly;
    ProgramCopy program;
    auto server = Server::start({}, program.command());
    ASSERT_TRUE(server);
    auto alice = join(*server, "alice", {});
    {
        std::ofstream next(program.path() + ".next");
        next << "#!/bin/sh\nexit 3\n";
    }
    ::chmod((program.path() + ".next").c_str(), 0755);
    program.install(faultyServer("swap"));
    const pid_t pid = server->pid();
    server->signal(SIGUSR2);
    ASSERT_TRUE(upgraded(*server, program));
    EXPECT_EQ(runningFile(pid), program.path() + " (deleted)");
    barrier(*alice, {});

    server->signal(SIGUSR2);
    EXPECT_TRUE(server->waitForLine(Stream::Err, "Upgrade failed: " + program.path() +
                                                     " ended with exit code 3 without answering: it is no server "
                                                     "that can take over; the server serves on."));
    EXPECT_EQ(server->pid(), pid);
    barrier(*alice, {});
}

TEST(e2eUpgrade, HandoverInputSetByHandIsReported) {
    if (serverIsWindows()) GTEST_SKIP() << kLinuxOnly;
    // Variables set by hand: the server says so, leaves the descriptors
    // alone and starts afresh.
    const std::pair<std::string, std::string> cases[] = {
        {"GAMESERVER_HANDOVER_FD=abc",
         "GAMESERVER_HANDOVER_FD=abc is no descriptor number from 3 up; the server starts afresh."},
        {"GAMESERVER_HANDOVER_FD=1", "GAMESERVER_HANDOVER_FD=1 is no descriptor number from 3 up; the server starts afresh."},
        {"GAMESERVER_HANDOVER_FD=99", "GAMESERVER_HANDOVER_FD=99 is not open; the server starts afresh."},
        {"GAMESERVER_HANDOVER_PROBE=1", "GAMESERVER_HANDOVER_PROBE=1 names no pipe to answer on; the variable is ignored."},
    };
    for (const auto& [variable, line] : cases) {
        auto server = Server::start({}, {}, {variable});
        ASSERT_TRUE(server) << variable;
        EXPECT_TRUE(server->waitForLine(Stream::Err, line));
        auto alice = join(*server, "alice", {});
    }

    // The state a server gives the program it checks (here copied by that
    // program), handed to the server by hand: the check reads it as the
    // switch would and says what it keeps, or refuses what it cannot trust;
    // the take-over refuses a state that could still change under it.
    {
        ProgramCopy program;
        auto server = Server::start({}, program.command());
        ASSERT_TRUE(server);
        auto alice = join(*server, "alice", {});
        auto bob = join(*server, "bob", {alice.get()});
        const std::string copy = program.path() + ".state";
        program.installScript("#!/bin/sh\ncat /proc/self/fd/4 >'" + copy + "'\nexit 3\n");
        server->signal(SIGUSR2);
        EXPECT_TRUE(server->waitForLineStartingWith(Stream::Err, "Upgrade failed: "));
        std::ifstream in(copy, std::ios::binary);
        const std::string state((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_EQ(state.compare(0, 8, "GSHANDOV"), 0);
        // The listener and the clients at descriptors 100, 101 and 102; and
        // the same with bob's login flag out of range.
        std::string renumbered = state;
        std::vector<std::size_t> clientRecords;
        for (std::size_t at = 16; at + 6 < renumbered.size();) {
            std::uint32_t len = 0, n = 0;
            std::memcpy(&len, &renumbered[at + 2], 4);
            if (renumbered[at] == 1) std::memcpy(&renumbered[at + 6 + 64 + 4 + 1 + 1 + 64], &(n = 100), 4);
            if (renumbered[at] == 3) {
                clientRecords.push_back(at);
                std::memcpy(&renumbered[at + 6], &(n = 100 + static_cast<std::uint32_t>(clientRecords.size())), 4);
            }
            at += 6 + len;
        }
        ASSERT_EQ(clientRecords.size(), 2u);
        std::string damaged = renumbered;
        damaged[clientRecords[1] + 6 + 4 + 1 + 64 + 5] = 2;
        auto memoryFile = [](const std::string& bytes, bool sealed) {
            int f = ::memfd_create("gameserver-state", MFD_ALLOW_SEALING);
            EXPECT_EQ(::write(f, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
            if (sealed) ::fcntl(f, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK);
            return f;
        };
        auto checkAnswer = [](int stateFile) {
            int answer[2];
            EXPECT_EQ(::pipe2(answer, O_CLOEXEC), 0);
            ::fcntl(answer[1], F_SETFD, 0);
            Process checked({}, {},
                            {"GAMESERVER_HANDOVER_PROBE=" + std::to_string(answer[1]),
                             "GAMESERVER_HANDOVER_CHECK=" + std::to_string(stateFile)});
            ::close(answer[1]);
            ::close(stateFile);
            std::string line;
            char c;
            while (::read(answer[0], &c, 1) == 1 && c != '\n') line += c;
            ::close(answer[0]);
            EXPECT_EQ(checked.waitForExit(), 0);
            return line;
        };
        const std::string answerStart = "gameserver-handover formats 1,2 release " GAMESERVER_RELEASE;
        EXPECT_EQ(checkAnswer(memoryFile(state, true)), answerStart + " keeps 2 clients");
        EXPECT_EQ(checkAnswer(memoryFile(damaged, true)),
                  answerStart + " refuses: A client (ID 2) was left out: a flag is out of range");
        EXPECT_EQ(checkAnswer(memoryFile(state, false)),
                  answerStart + " refuses: the state given is not sealed against change");

        const int unsealed = memoryFile(state, false);
        auto taken = Server::start({}, {}, {"GAMESERVER_HANDOVER_FD=" + std::to_string(unsealed)});
        ::close(unsealed);
        ASSERT_TRUE(taken);
        EXPECT_TRUE(taken->waitForLine(Stream::Err, "The state handed over was refused: its memory file is not sealed "
                                                    "against change; its connections are closed and the server starts "
                                                    "afresh."));
        auto carol = join(*taken, "carol", {});

        // Taken over with the descriptors it names: as a release gives them
        // that cannot be handed back to, where bob's socket is no connection,
        // he is left out and alice is told in the first pass; and given with
        // the program to hand back to, where the reader refuses bob's record,
        // that program runs again and leaves him out, closes his connection
        // and tells alice.
        for (const bool withFallback : {false, true}) {
            SCOPED_TRACE(withFallback ? "handed back" : "without a fallback");
            int port = 0;
            const int listener = loopbackListener(port);
            Client alice2(port), bob2(port);
            const int aliceEnd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            const int bobEnd = withFallback ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)
                                            : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            const int stateFile = memoryFile(withFallback ? damaged : renumbered, true);
            const int fallback = ::open(serverCommand()[0].c_str(), O_PATH | O_CLOEXEC);
            std::vector<std::string> environment{"GAMESERVER_HANDOVER_FD=103"};
            if (withFallback) environment.push_back("GAMESERVER_HANDOVER_FALLBACK=104");
            Server next({}, port, {}, environment,
                        {{listener, 100}, {aliceEnd, 101}, {bobEnd, 102}, {stateFile, 103}, {fallback, 104}});
            for (int f : {listener, aliceEnd, bobEnd, stateFile, fallback}) ::close(f);
            if (withFallback) {
                EXPECT_TRUE(next.waitForLine(Stream::Err, "Taking over: A client (ID 2) was left out: a flag is out of range."));
                EXPECT_TRUE(next.waitForLine(Stream::Err, "Upgrade failed: " + serverCommand()[0] +
                                                              " (release " GAMESERVER_RELEASE ") refused the state: A "
                                                              "client (ID 2) was left out: a flag is out of range; the "
                                                              "server serves on."));
                EXPECT_TRUE(bob2.waitForClose());
            } else {
                EXPECT_TRUE(next.waitForLine(Stream::Err, "Taking over: a client's socket (descriptor 102) is no TCP "
                                                          "connection: the client is left out."));
                EXPECT_TRUE(next.waitForLine(Stream::Out, "Server upgraded to release " GAMESERVER_RELEASE
                                                          ", 1 client kept."));
            }
            EXPECT_BYTES(alice2.recvFrame(), pkt::playerLeft(2));
            next.type("say still here");
            EXPECT_BYTES(alice2.recvFrame(), chat("still here"));
        }
    }

    // A state that a new program refuses as it comes (too large, or no state
    // at all), given with the program to hand back to: it hands back with
    // everything open; the old program, which cannot take it either, closes
    // what it inherited, says why and starts afresh on its port.
    {
        const std::string program = serverCommand()[0];
        const int tooLarge = ::memfd_create("gameserver-state", MFD_ALLOW_SEALING | MFD_CLOEXEC);
        ASSERT_EQ(::ftruncate(tooLarge, 5 << 20), 0);
        ::fcntl(tooLarge, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL);
        char plain[] = "/tmp/upgrade-test-XXXXXX";
        const int noState = ::mkostemp(plain, O_CLOEXEC);
        ::unlink(plain);
        const std::pair<int, std::string> cases[] = {
            {tooLarge, "GAMESERVER_HANDOVER_FD=101 holds 5242880 bytes, more than a state can have"},
            {noState, "GAMESERVER_HANDOVER_FD=101 names no state a server left (" + std::string(plain) + " (deleted))"},
        };
        for (const auto& [state, why] : cases) {
            int port = 0;
            const int listener = loopbackListener(port);
            const int fallback = ::open(program.c_str(), O_PATH | O_CLOEXEC);
            auto server = Server::start({}, {}, {"GAMESERVER_HANDOVER_FD=101", "GAMESERVER_HANDOVER_FALLBACK=102"},
                                        {{listener, 100}, {state, 101}, {fallback, 102}});
            ::close(listener);
            ::close(fallback);
            ASSERT_TRUE(server) << why;
            EXPECT_TRUE(server->waitForLine(Stream::Err, "Upgrade failed: " + program + " (release " GAMESERVER_RELEASE
                                                             ") refused the state: " + why +
                                                             ", and the state handed back cannot be taken: " + why +
                                                             "; its connections are closed and the server starts "
                                                             "afresh."));
            EXPECT_FALSE(driver::Client(port).connected()) << "the old listener is closed";
            auto alice = join(*server, "alice", {});
        }
        ::close(tooLarge);
        ::close(noState);
    }

    // An upgrade asked for while no listener is open: here its port is taken.
    int port = freePort();
    int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    Process unopened({"-onlylan", "-port", std::to_string(port)});
    EXPECT_TRUE(unopened.waitForLineStartingWith(Stream::Out, "establish listener"));
    unopened.signal(SIGUSR2);
    EXPECT_TRUE(unopened.waitForLine(Stream::Err, "Upgrade failed: the server has no listener open yet; the server serves on."));
    unopened.type("players");
    EXPECT_TRUE(unopened.waitForLine(Stream::Out, "No players connected"));
    unopened.type("exit");
    EXPECT_EQ(unopened.waitForExit(), 0);
    ::close(holder);
}

}  // namespace
}  // namespace e2e
