// The bench's second phase: upgrades while nobody reads the server's
// console, so that its output writer waits on a full pipe and its queue
// holds lines the upgrade must carry over. What it costs the players is the
// longest pause in their streams during these upgrades.
#include <limits.h>

#include <thread>

#include "leftovers.h"
#include "phases.h"
#include "process_info.h"
#include "timing.h"

using driver::Clock;
using driver::nowNs;
using driver::Stream;

namespace {

// The new program serves: the process runs it, and it has relayed a frame
// sent after the bench saw it running (a frame the old program could not
// have relayed). With the console stalled, its "Server upgraded" line waits
// in its queue and cannot tell.
bool waitUntilServing(Bench& b, driver::FileId program) {
    auto end = Clock::now() + kUpgradeWait;
    long long runningSince = 0;
    while (Clock::now() < end) {
        if (runningSince == 0 && driver::runningProgram(b.server.pid()) == program) runningSince = nowNs();
        if (runningSince != 0) {
            std::uint32_t newest = b.receipts.newest.load();
            if (newest < b.receipts.tickNs.size() && b.receipts.tickNs[newest].load() > runningSince)
                return driver::runningProgram(b.server.pid()) == program;  // not handed back meanwhile
        }
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

// Stops reading the server's standard output and has it print until the
// console is stalled: the server has read every command, the pipe's fill has
// not changed for kStallSteady and a server thread sleeps in a pipe write,
// which with the reader stopped it does only for want of room. Where the
// kernel does not tell where threads sleep, a pipe with less room than a
// write of PIPE_BUF bytes (which goes in whole or waits) needs counts
// instead. Where the server wrote out all it had, it gets more commands.
bool stallConsole(Bench& b, StallFigures& s) {
    const driver::ConsoleLines& out = b.server.output(Stream::Out);
    b.server.pauseReading(Stream::Out);
    auto typeHelps = [&](int count) {
        std::string commands;
        for (int i = 0; i < count; ++i) commands += "help\n";
        if (!b.server.typePart(commands)) fail("cannot write to the server's standard input");
        s.helpCommands += count;
    };
    typeHelps(kHelpCommands);
    s.pipeCapacity = out.capacity();
    auto end = Clock::now() + kStallWait;
    int fill = -1;
    auto steadySince = Clock::now();
    while (Clock::now() < end) {
        {
            std::lock_guard<std::mutex> guard(b.console.lock);
            if (b.console.ended[0]) return false;
        }
        int now = out.unread();
        if (now != fill) {
            fill = now;
            steadySince = Clock::now();
        }
        if (b.server.unreadInput() == 0 && Clock::now() - steadySince >= kStallSteady) {
            s.writerInPipe = driver::threadInPipeWrite(b.server.pid());
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

}  // namespace

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
        driver::FileId program = install(b);
        if (b.server.output(Stream::Out).unread() == s.pipeFill) ++s.pipeFullAtSignal;
        int writing = driver::threadInPipeWrite(b.server.pid());
        if (writing > 0) ++s.writerInPipeAtSignal;
        if (writing < 0) s.writerUntold = true;
        ++s.attempted;
        long long signalled = requestUpgrade(b, firstUpgrade + k);
        if (!waitUntilServing(b, program)) break;
        ++s.completed;
        sleepUntilNs(signalled + std::chrono::nanoseconds(kUpgradeEvery).count());
    }
    b.receipts.upgrade = 0;

    long long resumed = nowNs();
    b.server.resumeReading(Stream::Out);
    std::unique_lock<std::mutex> guard(b.console.lock);
    b.console.changed.wait_for(
        guard, kUpgradeWait, [&] { return b.console.upgradesDone >= doneBefore + s.completed || b.console.ended[0]; });
    s.upgradedLines = b.console.upgradesDone - doneBefore;
    if (s.upgradedLines > 0) s.linesAfterNs = b.console.upgradedNs.back() - resumed;
    s.linesLost = b.console.outputDropped - lostBefore;
    s.lossReports = b.console.outputDropReports - reportsBefore;
    return s;
}
