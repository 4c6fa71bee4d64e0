// The server's life: creation, start, the network thread, stop.
#pragma once

#include <cstdint>

#include "server/game_server.h"

// The one server record; it lives until the process ends. maxPlayers keeps
// its low 8 bits, name its first 63 characters.
GameServer* createServer(const char* name, std::int32_t port, std::int32_t maxPlayers);

// Starts the network thread (and, unless onlylan, the announcement) and
// returns at once.
void startServer(GameServer& server, bool onlylan);

// The network thread's entry and body. runServer returns 0 after a stop, 3
// when the listener could not be opened.
int networkThread(GameServer& server);
int runServer(GameServer& server, std::int32_t port);
Socket setUpListener(std::uint16_t port);

// Ends the connection loop and takes the server off the list. Called once.
void stopServer(GameServer& server);
