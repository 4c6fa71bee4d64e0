// Start and stop of the whole server: the network thread and the
// announcement on the internet server list.
#pragma once

#include "fleet/fleet_settings.h"
#include "masterlist/announcer.h"
#include "server/game_server.h"
#include "streams/console_reader.h"

// What the process entry holds for the whole run.
struct ServerProcess {
    GameServer* server = nullptr;
    ConsoleReader console;
    bool onlylan = false;
    FleetSettings fleet{};
};

// Starts the network thread and, unless onlylan, the announcement thread.
void startServer(GameServer& server, bool onlylan);
// Stops the network thread, then deletes the list entry if there is one.
void stopServer(GameServer& server);
