// The bench's first phase: regular upgrades under load, one a second, each
// waited for; and what every phase does to upgrade the server.
#include <thread>

#include "leftovers.h"
#include "phases.h"
#include "process_info.h"
#include "timing.h"

using driver::Clock;
using driver::nowNs;

long long requestUpgrade(Bench& b, int upgrade) {
    b.receipts.upgrade = upgrade;
    return b.trigger.ask();
}

void sleepUntilNs(long long at) { std::this_thread::sleep_until(Clock::time_point(std::chrono::nanoseconds(at))); }

driver::FileId install(Bench& b, const std::string& source) {
    try {
        b.program.install(source);
    } catch (const std::exception& e) {
        fail(e.what());
    }
    return driver::fileId(b.program.path());
}

SteadyFigures upgradeSteadily(Bench& b, int upgrades) {
    SteadyFigures s;
    const pid_t pid = b.server.pid();
    s.fdsBefore = driver::openDescriptors(pid);
    s.rssBefore = driver::residentKb(pid);
    auto nextUpgrade = Clock::now();
    for (int k = 1; k <= upgrades; ++k) {
        install(b);
        b.receipts.phase = kUpgradesPhase;
        s.signalNs.push_back(requestUpgrade(b, k));
        std::unique_lock<std::mutex> guard(b.console.lock);
        bool done = b.console.changed.wait_for(guard, kUpgradeWait, [&] {
            return b.console.upgradesDone >= k || b.console.upgradesFailed > 0 || b.console.ended[0];
        });
        if (!done || b.console.upgradesDone < k) {
            s.failedAt = k;
            break;
        }
        guard.unlock();
        nextUpgrade += kUpgradeEvery;
        std::this_thread::sleep_until(nextUpgrade);
    }
    std::this_thread::sleep_for(kTail);
    s.fdsAfter = driver::openDescriptors(pid);
    s.rssAfter = driver::residentKb(pid);
    std::lock_guard<std::mutex> guard(b.console.lock);
    s.upgradesDone = b.console.upgradesDone;
    s.lastUpgraded = b.console.lastUpgraded;
    s.serverGone = b.console.ended[0] || b.console.ended[1];
    return s;
}
