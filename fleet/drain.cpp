#include "fleet/drain.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "masterlist/announcer.h"
#include "server/drain_notice.h"
#include "server/protocol/server_chat.h"
#include "streams/output.h"

namespace {

long long secondsUp(long long ms) { return ms <= 0 ? 0 : (ms + 999) / 1000; }

void tellPlayers(GameServer& server, const char* text) { sayToAll(server, text, std::char_traits<char>::length(text)); }

// When the players hear once more that the server closes: shortly before
// the deadline, or halfway through a drain shorter than twice that.
long long lastCallAt(long long endsAt, long long totalMs) {
    long long before = totalMs < 2 * kDrainLastCallMs ? totalMs / 2 : kDrainLastCallMs;
    return endsAt - before;
}

// Waits for the lobby to empty or the deadline, with the last call on the
// way; then stops the server. The console hears of each departure from the
// network thread.
void watchDrain(GameServer& server, long long totalMs, bool lastCallDone, void (*stop)(void*), void* context) {
    const long long endsAt = server.drainEndsAtMs.load();
    const long long lastCall = lastCallAt(endsAt, totalMs);
    std::unique_lock<std::mutex> guard(server.stopLock);
    for (;;) {
        long long now = monotonicMs();
        if (server.stopFlag.load() != 0) return;  // another stop ends the process
        if (server.playerCount.load() == 0 || now >= endsAt) break;
        if (!lastCallDone && now >= lastCall) {
            lastCallDone = true;
            guard.unlock();
            char text[160];
            std::snprintf(text, sizeof text, "The server closes in %lld seconds. Thank you for playing!",
                          secondsUp(endsAt - now));
            tellPlayers(server, text);
            guard.lock();
            continue;
        }
        long long wakeAt = !lastCallDone && lastCall < endsAt ? lastCall : endsAt;
        server.stopChanged.wait_for(guard, std::chrono::milliseconds(wakeAt - now), [&server] {
            return server.stopFlag.load() != 0 || server.playerCount.load() == 0;
        });
    }
    const bool empty = server.playerCount.load() == 0;
    guard.unlock();
    writeLine(Stream::Out,
              empty ? "Draining: the lobby is empty." : "Draining: the time is up; the players left are disconnected.");
    stop(context);
}

}  // namespace

bool beginDrain(GameServer& server, std::int32_t seconds, void (*stop)(void*), void* context) {
    if (seconds <= 0) return false;
    std::uint8_t idle = 0;
    if (!server.draining.compare_exchange_strong(idle, 1)) return false;
    const long long totalMs = static_cast<long long>(seconds) * 1000;
    server.drainEndsAtMs = monotonicMs() + totalMs;
    std::thread([&server, totalMs, stop, context] {
        // No new player finds the lobby from now on; then the players hear.
        if (server.masterList) leaveList(server);
        tellDrainProgress(server, server.playerCount.load());
        char text[200];
        std::snprintf(text, sizeof text,
                      "This server is closing: no new players can join. Play on; it closes when the last player "
                      "leaves, or in %lld seconds.",
                      secondsUp(totalMs));
        tellPlayers(server, text);
        watchDrain(server, totalMs, false, stop, context);
    }).detach();
    return true;
}

void resumeDrain(GameServer& server, void (*stop)(void*), void* context) {
    long long left = server.drainEndsAtMs.load() - monotonicMs();
    std::thread([&server, left, stop, context] {
        tellDrainProgress(server, server.playerCount.load());
        // The total is not carried: a last call is still due where more
        // than its time is left.
        watchDrain(server, left > kDrainLastCallMs ? 2 * kDrainLastCallMs : 0, left <= kDrainLastCallMs, stop, context);
    }).detach();
}
