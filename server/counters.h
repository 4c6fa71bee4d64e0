// What the server counts for its operators: totals since the server first
// started. An upgrade in place carries them, so a scraper sees no reset.
#pragma once

#include <atomic>
#include <cstdint>

// Each total, by what it counts. A new one goes at the end, before Count:
// the state carries them in this order, and an older program keeps those it
// knows.
enum class Counter : std::uint8_t {
    LoginsAccepted,
    LoginsVersionDiffers,
    LoginsWrongPassword,
    LoginsServerFull,
    ConnectionsAccepted,
    DisconnectsClosedByClient,  // the client closed its side
    DisconnectsError,           // a socket error
    DisconnectsRefused,         // a refused login or a protocol violation
    DisconnectsKicked,
    DisconnectsLoginTimeout,
    DisconnectsStop,  // closed at the server's stop
    FramesReceived,
    FramesRelayed,   // copies queued for other clients
    FramesDropped,   // copies that found a full send buffer
    BytesReceived,
    BytesSent,
    SongsStarted,
    ListRequestsSucceeded,
    ListRequestsFailed,
    UpgradesDone,
    UpgradesFailedCheck,
    UpgradesHandedBack,
    Count
};
inline constexpr std::size_t kCounterCount = static_cast<std::size_t>(Counter::Count);

// Written by the thread that sees the event, read by a scrape at any time:
// relaxed atomics, no lock.
struct ServerCounters {
    std::atomic<std::uint64_t> value[kCounterCount]{};
};

inline void count(ServerCounters& counters, Counter which, std::uint64_t by = 1) {
    counters.value[static_cast<std::size_t>(which)].fetch_add(by, std::memory_order_relaxed);
}
inline std::uint64_t countOf(const ServerCounters& counters, Counter which) {
    return counters.value[static_cast<std::size_t>(which)].load(std::memory_order_relaxed);
}
