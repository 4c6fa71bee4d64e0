// Start and stop of the whole server: the network thread and the
// announcement on the internet server list.
#pragma once

#include "masterlist/announcer.h"
#include "server/game_server.h"

// Starts the network thread and, unless onlylan, the announcement thread.
void startServer(GameServer& server, bool onlylan);
// The same for a server that took over from an upgrade: no start-up lines,
// and the announcement goes on from where it was.
void resumeServer(GameServer& server, bool onlylan, const AnnounceStart& announce);
// Stops the network thread, then deletes the list entry if there is one.
void stopServer(GameServer& server);
