// The bench's last phase: a new program that crashes while it takes over,
// which the old program must survive in the same process (the hand-back),
// with the players' streams going on; then the good program takes over once
// more.
#include <algorithm>

#include "phases.h"

namespace {

// The line the old program writes when it serves on after the new one
// crashed: of a signal on Linux, of an exception on Windows.
bool tellsOfCrash(const std::string& line) {
    return (line.find(" crashed with signal ") != std::string::npos ||
            line.find(" crashed with exception 0x") != std::string::npos) &&
           line.ends_with(" while taking over; the server serves on.");
}

// Asks for the upgrade and waits for its line: true for "Upgrade failed",
// false for "Server upgraded", the end of the output or no line in time.
bool upgradeFails(Bench& b, int upgrade, long long& signalledNs) {
    std::unique_lock<std::mutex> guard(b.console.lock);
    const int failedBefore = b.console.upgradesFailed, doneBefore = b.console.upgradesDone;
    guard.unlock();
    signalledNs = requestUpgrade(b, upgrade);
    guard.lock();
    b.console.changed.wait_for(guard, kUpgradeWait, [&] {
        return b.console.upgradesFailed > failedBefore || b.console.upgradesDone > doneBefore || b.console.ended[0] ||
               b.console.ended[1];
    });
    return b.console.upgradesFailed > failedBefore;
}

}  // namespace

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
        install(b, crashing);
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
        install(b);
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
