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

AnnounceStart firstAnnounceStart(const AnnounceSchedule& schedule) {
    return AnnounceStart{firstAnnounceCounters(schedule), schedule.firstDelayMs};
}

int announcerThread(GameServer& server, const AnnounceSchedule& schedule, const AnnounceStart& start) {
    AnnounceProgress& progress = server.masterList->progress;
    AnnounceCounters counters = start.counters;
    progress.nextCheckMs = monotonicMs() + start.firstDelayMs;
    // The pauses end early at a stop, so that the thread does not outlive it
    // by up to a minute.
    waitForStop(server, start.firstDelayMs);
    // An entry with the port the process listens on would send players
    // nowhere where an orchestrator maps another: the first announcement
    // waits a while for the public port.
    long long portWaitEndsMs = monotonicMs() + kPublicPortWaitMs;
    while (server.publicPortPending.load() != 0 && server.stopFlag.load() == 0 && monotonicMs() < portWaitEndsMs)
        waitForStop(server, 50);
    std::int32_t announcedPort = server.publicPort.load();
    // A draining server has left the list for good.
    while (server.stopFlag.load() == 0 && server.draining.load() == 0) {
        std::int32_t clients = currentClientCount(server);
        bool portChanged = server.publicPort.load() != announcedPort;
        if (announcementDue(counters, clients, schedule) || portChanged) {
            announcedPort = server.publicPort.load();
            progress.requestUnderWay = 1;
            progress.announcedCount = counters.announcedCount;
            progress.checksSinceAnnounce = counters.checksSinceAnnounce;
            int result = registerServer(*server.masterList, server.name,
                                        static_cast<std::uint32_t>(announcedPort), clients,
                                        server.maxPlayers.load(), server.version);
            count(server.counters, result == 0 ? Counter::ListRequestsSucceeded : Counter::ListRequestsFailed);
            progress.requestUnderWay = 0;
        }
        progress.announcedCount = counters.announcedCount;
        progress.checksSinceAnnounce = counters.checksSinceAnnounce;
        progress.nextCheckMs = monotonicMs() + schedule.pauseMs;
        waitForStop(server, schedule.pauseMs);
    }
    return 0;
}

void startAnnouncer(GameServer& server, const AnnounceStart& start) {
    std::thread([&server, start] { announcerThread(server, kAnnounceSchedule, start); }).detach();
}

void leaveList(GameServer& server) {
    MasterListState& list = *server.masterList;
    bool listed = list.registered.load() != 0;
    int result = unregisterServer(list);
    if (listed) count(server.counters, result == 0 ? Counter::ListRequestsSucceeded : Counter::ListRequestsFailed);
}
