// The upgrade bench's printed figures: the run as a whole, then each of the
// later phases. Figures only; nothing here passes or fails.
#include "report.h"

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "timing.h"

using driver::ms;
using driver::nowNs;
using driver::percentile;

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

long long cpuWaitUs() {
    std::ifstream file("/proc/pressure/cpu");
    std::string line;
    if (!std::getline(file, line)) return -1;
    std::size_t at = line.find("total=");
    return at == std::string::npos ? -1 : std::atoll(line.c_str() + at + 6);
}

namespace {

// The longest gaps in a player's stream during upgrades first..first+count-1.
std::vector<long long> gapsOf(const Receipts& r, int first, int count) {
    std::vector<long long> gaps;
    for (int k = first; k < first + count; ++k) gaps.push_back(r.longestGapInUpgradeNs[static_cast<std::size_t>(k)]);
    return gaps;
}

void printList(const std::vector<long long>& ns) {
    for (std::size_t i = 0; i < ns.size(); ++i) std::printf("%s%.1f", i ? " " : "", ms(ns[i]));
}

// A figure for each regular upgrade, in whole milliseconds.
void printPerUpgrade(const std::vector<long long>& byUpgrade, std::size_t upgrades) {
    std::printf("  per upgrade, ms:");
    for (std::size_t k = 1; k <= upgrades; ++k) std::printf(" %.0f", ms(byUpgrade[k]));
    std::printf("\n");
}

// threadInPipeWrite's answer in words.
const char* toldAnswer(int told) {
    if (told < 0) return "not told by the kernel";
    return told > 0 ? "yes" : "no";
}

void printStalled(const StallFigures& s, const Receipts& r) {
    if (!s.ran) {
        if (!s.skippedWhy.empty()) std::printf("console stalled at the upgrade: skipped, %s\n", s.skippedWhy.c_str());
        return;
    }
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

void printHandBacks(const HandBackFigures& h, const Receipts& r, const RunFigures& run, long lost, long outOfOrder) {
    const std::string& crashing = run.crashing;
    const char* trigger = run.trigger.c_str();
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
        std::printf("  %s to \"Upgrade failed\": median %.1f ms, longest %.1f ms (each: ", trigger,
                    ms(percentile(h.toLineNs, 0.5)), ms(percentile(h.toLineNs, 1.0)));
        printList(h.toLineNs);
        std::printf(")\n");
    }
    if (!h.toFrameNs.empty()) {
        std::printf("  %s to the first frame relayed after that line: median %.1f ms, longest %.1f ms\n", trigger,
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
                "  then the good program again: %s to \"Server upgraded\" %.1f ms, longest pause %.1f ms; "
                "%s\n",
                trigger, ms(h.goodNs),
                ms(r.longestGapInUpgradeNs[static_cast<std::size_t>(h.firstUpgrade + kHandBacks)]), h.goodLine.c_str());
        else
            std::printf("  then the good program again: IT DID NOT TAKE OVER within %lld s\n",
                        static_cast<long long>(kUpgradeWait.count()));
    }
    std::printf("  the bench's longest stall between ticks in this phase: %.1f ms\n",
                ms(r.longestTickGapNs[kHandBackPhase]));
}

}  // namespace

void printReport(const RunFigures& run, const Receipts& receipts, const Console& console) {
    const SteadyFigures& steady = run.steady;
    const std::vector<long long>& signalNs = steady.signalNs;
    const long received = receipts.distinct.load();
    const long long periodNs = 1000000000LL / run.rate;
    std::vector<long long> toUpgraded, toUpgrading;
    for (std::size_t k = 0; k < signalNs.size(); ++k) {
        if (k < console.upgradedNs.size()) toUpgraded.push_back(console.upgradedNs[k] - signalNs[k]);
        if (k < console.upgradingNs.size()) toUpgrading.push_back(console.upgradingNs[k] - signalNs[k]);
    }

    std::printf(
        "upgrade_bench: %d players, %d frames/s each; %lld s without upgrades, then %d upgrade%s %lld ms apart\n",
        run.players, run.rate, static_cast<long long>(kWarmUp.count()), run.upgrades, run.upgrades == 1 ? "" : "s",
        static_cast<long long>(std::chrono::milliseconds(kUpgradeEvery).count()));
    if (run.windows)
        std::printf("the Windows server, measured under %s: Wine's timings, not Windows'\n", run.wine.c_str());
    std::printf("load average at start: %s, at end: %s (%u cores)", run.loadAtStart.c_str(), loadAverage().c_str(),
                std::thread::hardware_concurrency());
    const long long waitAtEnd = cpuWaitUs();
    if (run.cpuWaitAtStartUs >= 0 && waitAtEnd >= run.cpuWaitAtStartUs)
        std::printf("; some task waited for a core %.0f%% of the run",
                    100.0 * static_cast<double>(waitAtEnd - run.cpuWaitAtStartUs) * 1000 /
                        static_cast<double>(nowNs() - run.startNs));
    std::printf("\n");
    if (steady.failedAt)
        std::printf("UPGRADE %d DID NOT COMPLETE within %lld s; the figures cover the upgrades before it\n",
                    steady.failedAt, static_cast<long long>(kUpgradeWait.count()));
    std::printf("upgrades completed: %d of %d%s%s\n", steady.upgradesDone, run.upgrades,
                steady.lastUpgraded.empty() ? "" : "; last line: ", steady.lastUpgraded.c_str());
    std::printf("frames: %ld relayed of %ld expected; lost %ld, out of order %ld, repeated %ld; send failures %ld\n",
                received, run.expected, run.expected - received, receipts.outOfOrder, receipts.repeated,
                run.sendFailures);
    std::printf("  by the phase they were sent in, lost / out of order:");
    for (int phase = 0; phase < kPhases; ++phase)
        if (receipts.sentIn[phase] > 0)
            std::printf("%s %s %ld / %ld", phase ? "," : "", kPhaseNames[phase],
                        receipts.sentIn[phase] * (run.players - 1) - receipts.distinctIn[phase],
                        receipts.outOfOrderIn[phase]);
    std::printf("\n");
    std::printf("frames the server dropped for a full send buffer: %ld (%ld lines on its standard error)\n",
                console.drops, console.dropLines);
    std::printf("departures seen by the players: %ld; frames of unknown sender or id: %ld\n", receipts.departures,
                receipts.unknownIds);
    std::printf("longest pause in a player's stream (gap between two frames of one sender; a frame every %.1f ms):\n",
                ms(periodNs));
    std::printf("  without upgrades %.1f ms, with upgrades %.1f ms\n", ms(receipts.longestGapNs[kWarmUpPhase]),
                ms(receipts.longestGapNs[kUpgradesPhase]));
    if (!signalNs.empty()) printPerUpgrade(receipts.longestGapInUpgradeNs, signalNs.size());
    std::printf(
        "longest delay of a frame (from the start of its tick to its receipt): without upgrades %.1f ms, "
        "with upgrades %.1f ms\n",
        ms(receipts.longestDelayNs[kWarmUpPhase]), ms(receipts.longestDelayNs[kUpgradesPhase]));
    if (!signalNs.empty()) printPerUpgrade(receipts.longestDelayInUpgradeNs, signalNs.size());
    std::printf(
        "longest time between two ticks of the senders (the bench's own stalls): without upgrades %.1f ms, "
        "with upgrades %.1f ms\n",
        ms(receipts.longestTickGapNs[kWarmUpPhase]), ms(receipts.longestTickGapNs[kUpgradesPhase]));
    if (!signalNs.empty()) {
        std::printf("%s to \"Server upgraded\": median %.1f ms, longest %.1f ms", run.trigger.c_str(),
                    ms(percentile(toUpgraded, 0.5)), ms(percentile(toUpgraded, 1.0)));
        std::printf(" (to \"Upgrading server to\": median %.1f ms, longest %.1f ms)\n",
                    ms(percentile(toUpgrading, 0.5)), ms(percentile(toUpgrading, 1.0)));
    }
    if (!run.requestRunsNs.empty())
        std::printf("  the request program, from its start to its end: median %.1f ms, longest %.1f ms\n",
                    ms(percentile(run.requestRunsNs, 0.5)), ms(percentile(run.requestRunsNs, 1.0)));
    // The Windows server runs in a process the one started keeps; what /proc
    // tells is that keeper's (its Wine process's).
    const char* whose = run.windows ? "the keeper's" : "server";
    std::printf("%s descriptors: %d before the first upgrade, %d after the last\n", whose, steady.fdsBefore,
                steady.fdsAfter);
    std::printf("%s RSS: %ld kB before the first upgrade, %ld kB after the last\n", whose, steady.rssBefore,
                steady.rssAfter);
    if (run.laterPhases) {
        printStalled(run.stalled, receipts);
        printHandBacks(run.handBacks, receipts, run,
                       receipts.sentIn[kHandBackPhase] * (run.players - 1) - receipts.distinctIn[kHandBackPhase],
                       receipts.outOfOrderIn[kHandBackPhase]);
        std::printf("%s descriptors and RSS after these phases: %d, %ld kB\n", whose, run.fdsAtEnd, run.rssAtEnd);
    } else {
        std::printf("console-stalled and hand-back phases skipped: %s\n",
                    steady.serverGone ? "the server's output ended" : "an upgrade did not complete");
    }
    std::printf("server exit: %s %d\n", WIFEXITED(run.exitStatus) ? "code" : "signal",
                WIFEXITED(run.exitStatus) ? WEXITSTATUS(run.exitStatus) : WTERMSIG(run.exitStatus));
    if (console.otherErrorCount > 0) {
        std::printf("other lines on the server's standard error: %ld, the first:\n", console.otherErrorCount);
        for (const auto& line : console.otherErrors) std::printf("  %s\n", line.c_str());
    }
    std::fflush(stdout);
}
