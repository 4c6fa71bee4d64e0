// The client of the internet server list: a web site spoken to with plain
// HTTP/1.1 GET requests, one connection per request.
#pragma once

#include <atomic>
#include <cstdint>
#include <semaphore>

#include "masterlist/root_page.h"
#include "platform/network/socket.h"

// Every wait on the list (the name lookup, connecting, sending, receiving)
// ends after this. A lookup that takes longer counts as a name that does not
// resolve.
inline constexpr int kListWaitMs = 10000;
// One request, from its lookup to its last receive, ends within this, however
// its waits add up.
inline constexpr int kRequestLimitMs = 30000;
// Of the addresses a name resolves to, only this many are tried.
inline constexpr int kMaxListAddresses = 4;
// A root page is read for at most the list's wait in all and at most this
// many bytes; what has arrived by then is searched.
inline constexpr std::size_t kPageSizeLimit = 256 * 1024;
// The stop waits this long at most for a request under way before it sends
// the delete request.
inline constexpr int kStopWaitMs = 30000;

// Where the list's web server listens and how long the client waits for it.
struct ListLimits {
    std::uint16_t httpPort;  // the list's port
    int waitMs;              // each wait on the list
    int requestLimitMs;      // one request, whatever its waits add up to
};
inline constexpr ListLimits kListLimits{80, kListWaitMs, kRequestLimitMs};

// What the announcement thread has done and will do next, as it last told:
// an upgrade in place carries it over, so that the schedule goes on.
struct AnnounceProgress {
    std::atomic<std::int32_t> announcedCount{-1};
    std::atomic<std::int32_t> checksSinceAnnounce{0};
    std::atomic<long long> nextCheckMs{0};           // on the monotonic clock
    std::atomic<std::uint8_t> requestUnderWay{0};    // an add is being sent
};

// The fields are changed only by whoever holds the turn: one request at a
// time, each holding it from start to end, so an add under way and the delete
// at stop never overlap. An upgrade reads them without the turn: registered
// and redirectResolved are atomic, and host no longer changes once
// redirectResolved is 1.
struct MasterListState {
    char host[1024];
    std::atomic<std::uint8_t> redirectResolved{0};
    std::atomic<std::uint8_t> registered{0};
    std::uint8_t deleted;  // the entry was deleted at stop: no add goes out any more
    ListLimits limits;
    std::binary_semaphore turn{1};
    AnnounceProgress progress;
};

// The list host the server starts with (a build setting).
const char* defaultMasterHost();

MasterListState* createMasterList(const char* host, const ListLimits& limits = kListLimits);

// Adds or refreshes this server's entry. 0, or -1 on failure.
int registerServer(MasterListState& list, const char* name, std::uint32_t port, std::int32_t players,
                   std::int32_t maxPlayers, float version);
// Deletes the entry if the server is listed. 0, or -1 on failure. Meant for
// the stop: waits for a request under way, and no add goes out afterwards.
int unregisterServer(MasterListState& list);
