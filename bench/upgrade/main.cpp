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
// The Windows server runs as well, under Wine: the server's command is then
// the words that run gameserver.exe (e.g. "scripts/wine-run --exec
// build-mingw/gameserver.exe", as one argument), and the crashing build the
// .exe of that fault. Each upgrade is asked for with "gameserver.exe -upgrade
// PORT" instead of SIGUSR2. The stalled console is skipped: the keeper takes
// the server's output as it comes, so no console holds the server up.
//
// This file holds the run's order; players.cpp the load, server_console.cpp
// the server and its lines, upgrade_trigger.cpp the requests, one file each
// phase, report.cpp the figures.
//
// Usage: upgrade_bench SERVER_COMMAND [players=63] [rate=60] [upgrades=20] [CRASHING_BINARY]
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

#include "leftovers.h"
#include "phases.h"
#include "process_info.h"
#include "report.h"
#include "server_command.h"
#include "timing.h"
#include "upgrade_trigger.h"

namespace {

std::unique_ptr<driver::ProgramCopy> copyProgram(const std::string& binary) {
    try {
        auto program = std::make_unique<driver::ProgramCopy>(binary, "upgrade-bench");
        leaveProgram(*program);
        return program;
    } catch (const std::exception& e) {
        fail(e.what());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 6) {
        std::fprintf(stderr,
                     "usage: upgrade_bench SERVER_COMMAND [players=63] [rate=60] [upgrades=20] [CRASHING_BINARY]\n");
        return 2;
    }
    RunFigures run;
    ServerCommand command;
    run.players = argc > 2 ? std::atoi(argv[2]) : 63;
    run.rate = argc > 3 ? std::atoi(argv[3]) : 60;
    run.upgrades = argc > 4 ? std::atoi(argv[4]) : 20;
    // A build of the server that crashes while it takes over.
    run.crashing = argc > 5 ? argv[5] : "";
    if (!parseCommand(argv[1], command) || run.players < 2 || run.players > 63 || run.rate < 1 || run.rate > 1000 ||
        run.upgrades < 0) {
        std::fprintf(stderr,
                     "usage: upgrade_bench SERVER_COMMAND [players 2..63] [rate 1..1000] [upgrades 0..] "
                     "[CRASHING_BINARY]\n");
        return 2;
    }
    if (!run.crashing.empty() && ::access(run.crashing.c_str(), R_OK) != 0)
        fail("cannot read " + run.crashing + ": " + std::strerror(errno));
    if (command.windows) {
        run.windows = true;
        run.wine = wineVersion(command);
        run.trigger = "request";
    }
    clearOnStopSignals();
    run.loadAtStart = loadAverage();
    run.cpuWaitAtStartUs = cpuWaitUs();
    run.startNs = driver::nowNs();

    auto program = copyProgram(command.program());
    Console console;
    int port = 0;
    auto server = startServer(command.runFrom(program->path()), console, port);

    // Room for the send times of a run whose upgrades all take their longest.
    const int handBackUpgrades = run.crashing.empty() ? 0 : kHandBacks + 1;
    const auto longestRun = kWarmUp + run.upgrades * (kUpgradeEvery + kUpgradeWait) + kTail + kStallWait +
                            (kStalledUpgrades + 1 + handBackUpgrades) * (kUpgradeEvery + kUpgradeWait) + 5s;
    Receipts receipts(static_cast<std::size_t>(run.rate) * static_cast<std::size_t>(longestRun.count()));
    const int allUpgrades = run.upgrades + kStalledUpgrades + handBackUpgrades;
    receipts.longestGapInUpgradeNs.assign(static_cast<std::size_t>(allUpgrades) + 1, 0);
    receipts.longestDelayInUpgradeNs.assign(static_cast<std::size_t>(allUpgrades) + 1, 0);
    Load load(run.players, run.rate, receipts);
    load.logIn(port);
    std::this_thread::sleep_for(200ms);
    load.startSending();
    std::this_thread::sleep_for(kWarmUp);

    UpgradeTrigger trigger(command, *server, port);
    Bench bench{*program, *server, console, receipts, trigger};
    run.steady = upgradeSteadily(bench, run.upgrades);
    // The later phases, once the regular upgrades went well.
    run.laterPhases = run.steady.failedAt == 0 && !run.steady.serverGone;
    if (run.laterPhases) {
        if (command.windows)
            run.stalled.skippedWhy =
                "as the Windows server's keeper takes its output as it comes: no console holds its lines up";
        else
            run.stalled = upgradeWithConsoleStalled(bench, run.upgrades + 1);
        if (!run.crashing.empty())
            run.handBacks = upgradeToCrashingProgram(bench, run.crashing, run.upgrades + kStalledUpgrades + 1);
    }
    run.fdsAtEnd = driver::openDescriptors(server->pid());
    run.rssAtEnd = driver::residentKb(server->pid());

    run.expected = load.stop(kDeliveryWait);
    run.sendFailures = load.sendFailures();
    // The server stops as an operator stops it.
    server->type("exit");
    if (!server->waitForExit(5s)) server->finish();
    run.exitStatus = server->waitStatus();
    leaveServer(-1);
    load.closeConnections();
    server->finish();

    run.requestRunsNs = trigger.requestRunsNs();
    printReport(run, receipts, console);
    program.reset();
    programRemoved();
    return 0;
}
