#include "masterlist/announcer.h"

#include <thread>

#include "masterlist/master_list.h"
#include "server/client_table.h"

namespace {

std::int32_t currentClientCount(GameServer& server) {
    std::lock_guard<std::mutex> table(server.tableLock);
    return static_cast<std::int32_t>(clientCount(server));
}

}  // namespace

AnnounceCounters firstAnnounceCounters(const AnnounceSchedule& schedule) {
    return AnnounceCounters{-1, schedule.refreshChecks};
}

bool announcementDue(AnnounceCounters& counters, std::int32_t clientCount, const AnnounceSchedule& schedule) {
    ++counters.checksSinceAnnounce;
    if (counters.checksSinceAnnounce < schedule.refreshChecks && clientCount == counters.announcedCount) return false;
    counters.announcedCount = clientCount;
    counters.checksSinceAnnounce = 0;
    return true;
}

int announcerThread(GameServer& server, const AnnounceSchedule& schedule) {
    // The pauses end early at a stop, so that the thread does not outlive it
    // by up to a minute.
    waitForStop(server, schedule.firstDelayMs);
    AnnounceCounters counters = firstAnnounceCounters(schedule);
    while (server.stopFlag.load() == 0) {
        std::int32_t count = currentClientCount(server);
        if (announcementDue(counters, count, schedule))
            registerServer(*server.masterList, server.name, static_cast<std::uint32_t>(server.port), count,
                           server.maxPlayers.load(), server.version);
        waitForStop(server, schedule.pauseMs);
    }
    return 0;
}

void startAnnouncer(GameServer& server) {
    std::thread([&server] { announcerThread(server, kAnnounceSchedule); }).detach();
}
