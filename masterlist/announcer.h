// Keeps the server's entry on the internet server list fresh.
#pragma once

#include <cstdint>

#include "server/game_server.h"

struct AnnounceSchedule {
    int firstDelayMs;   // before the first check
    int pauseMs;        // after every check
    int refreshChecks;  // an announcement goes out at least every this many checks
};
inline constexpr AnnounceSchedule kAnnounceSchedule{300, 60000, 30};
// The first check waits at most this long for a public port still pending.
inline constexpr long long kPublicPortWaitMs = 10000;

// What the thread remembers between checks.
struct AnnounceCounters {
    std::int32_t announcedCount;       // -1 before the first announcement
    std::int32_t checksSinceAnnounce;  // starts at refreshChecks: the first check announces
};
AnnounceCounters firstAnnounceCounters(const AnnounceSchedule& schedule);
// One check, given the client count now: counts the check and tells whether
// to announce. An announcement resets the counters.
bool announcementDue(AnnounceCounters& counters, std::int32_t clientCount, const AnnounceSchedule& schedule);

// Where the thread starts: counters and the wait before its first check.
struct AnnounceStart {
    AnnounceCounters counters;
    long long firstDelayMs;
};
// A fresh server's: its first check announces, after firstDelayMs.
AnnounceStart firstAnnounceStart(const AnnounceSchedule& schedule);

// The announcement thread's body: announces at the first check, whenever the
// client count or the public port differs from the one last announced, and at every
// refreshChecks-th check; ends when the server stops. It tells the list's
// progress what it did and when it checks next. Returns 0.
int announcerThread(GameServer& server, const AnnounceSchedule& schedule, const AnnounceStart& start);

// Deletes the server's entry on the list, if it has one (at a stop or when a
// drain starts); no add goes out afterwards. Counts the request.
void leaveList(GameServer& server);

// Starts the announcement thread with the real schedule, from the start given.
void startAnnouncer(GameServer& server, const AnnounceStart& start);
