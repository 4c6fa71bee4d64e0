// The metrics page: the server's numbers in the Prometheus text format
// 0.0.4. The numbers are copied from the server's atomics first, then
// written out, so no lock is taken and nothing is allocated.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/process/process_stats.h"
#include "server/counters.h"
#include "server/game_server.h"

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";
// Room for the whole page; a release name of any sane length fits.
inline constexpr std::size_t kMetricsPageBytes = 16384;

struct MetricsSnapshot {
    std::uint64_t counters[kCounterCount];
    std::int32_t players;
    std::int32_t connections;
    std::int32_t maxPlayers;
    std::uint8_t songRunning;
    std::uint8_t listRegistered;
    std::uint8_t draining;
    double drainRemainingSeconds;  // 0 when not draining
    std::uint64_t consoleLinesDropped;
    double startTimeSeconds;  // calendar seconds
    ProcessStats process;
    const char* release;
};

// Copies the numbers now, nowMs being the monotonic clock's reading.
void takeMetricsSnapshot(GameServer& server, long long nowMs, MetricsSnapshot& snapshot);

// Writes the page into buf; its length, or 0 where it does not fit.
std::size_t renderMetrics(const MetricsSnapshot& snapshot, char* buf, std::size_t size);
