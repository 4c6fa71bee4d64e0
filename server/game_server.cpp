// What belongs to the server record itself: its lobby.
#include "server/game_server.h"

void resetLobby(GameServer& server) {
    server.hostId = 0;
    server.songId = 0;
    server.songArg3 = -1;
    server.lobbyValue = 0;
    server.songRunning = 0;
}
