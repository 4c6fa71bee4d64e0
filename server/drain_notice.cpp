#include "server/drain_notice.h"

#include <cstdio>

#include "streams/output.h"

void tellDrainProgress(const GameServer& server, std::int32_t players) {
    long long left = server.drainEndsAtMs.load() - monotonicMs();
    long long seconds = left <= 0 ? 0 : (left + 999) / 1000;
    char text[160];
    std::snprintf(text, sizeof text,
                  "Draining: %d player%s left; the server stops when the lobby is empty, or in %lld seconds.", players,
                  players == 1 ? "" : "s", seconds);
    writeLine(Stream::Out, text);
}
