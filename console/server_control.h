// Start and stop of the whole server: the network thread and the
// announcement on the internet server list.
#pragma once

#include "server/game_server.h"

// Starts the network thread and, unless onlylan, the announcement thread.
void startServer(GameServer& server, bool onlylan);
// Stops the network thread, then deletes the list entry if there is one.
void stopServer(GameServer& server);
