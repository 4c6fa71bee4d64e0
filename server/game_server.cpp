// What belongs to the server record itself: its clocks and its lobby.
#include "server/game_server.h"

#include <chrono>
#include <ctime>

long long monotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t calendarSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

void resetLobby(GameServer& server) {
    server.hostId = 0;
    server.songId = 0;
    server.songArg3 = -1;
    server.lobbyValue = 0;
    server.songRunning = 0;
}
