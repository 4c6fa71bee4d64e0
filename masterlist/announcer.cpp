#include "masterlist/announcer.h"

#include <chrono>
#include <thread>

#include "masterlist/master_list.h"
#include "server/client_table.h"

namespace {

std::int32_t currentClientCount(GameServer& server) {
    std::lock_guard<std::mutex> table(server.tableLock);
    return static_cast<std::int32_t>(clientCount(server));
}

// Sleeps, but wakes early when the server stops, so that the thread does not
// outlive a stop by up to a minute.
void pause(GameServer& server, int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (server.stopFlag.load() == 0) {
        auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)));
    }
}

}  // namespace

AnnounceCounters firstAnnounceCounters(const AnnounceSchedule& schedule) {
    return AnnounceCounters{-1, schedule.refreshChecks + 1};
}

bool announcementDue(AnnounceCounters& counters, std::int32_t clientCount, const AnnounceSchedule& schedule) {
    if (counters.checksSinceAnnounce < schedule.refreshChecks && clientCount == counters.announcedCount) return false;
    counters.announcedCount = clientCount;
    counters.checksSinceAnnounce = 0;
    return true;
}

void countCheck(AnnounceCounters& counters) { ++counters.checksSinceAnnounce; }

int announcerThread(GameServer& server, const AnnounceSchedule& schedule) {
    pause(server, schedule.firstDelayMs);
    AnnounceCounters counters = firstAnnounceCounters(schedule);
    while (server.stopFlag.load() == 0) {
        std::int32_t count = currentClientCount(server);
        if (announcementDue(counters, count, schedule))
            registerServer(*server.masterList, server.name, static_cast<std::uint32_t>(server.port), count,
                           server.maxPlayers.load(), server.version);
        pause(server, schedule.pauseMs);
        countCheck(counters);
    }
    return 0;
}

void startAnnouncer(GameServer& server) {
    std::thread([&server] { announcerThread(server, kAnnounceSchedule); }).detach();
}
