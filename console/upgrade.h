// The upgrade in place: on SIGUSR2 the running server carries on as the
// program that now stands at the path it was started from, with the same
// process ID and console, every connection and the lobby; and, in that
// program, the taking over.
#pragma once

#include "console/console_reader.h"
#include "masterlist/announcer.h"
#include "server/game_server.h"

// What the process entry holds for the whole run.
struct ServerProcess {
    GameServer* server = nullptr;
    ConsoleReader console;
    bool onlylan = false;
};

// This release's answer to a probe: the state formats it reads.
const char* probeAnswer();

// Makes sure the new program can take over, then hands everything to it.
// Returns only when it could not, after one line on standard error that says
// why; the server then serves on as before. On the signal thread.
void upgradeInPlace(ServerProcess& process);

// At start: takes over the state an upgraded server left, with its
// connections, console input and output. True when it did: the server record
// is made and announce tells where the announcement goes on. False when there
// was nothing to take over (a line says why where something was there but
// could not be used); the server then starts afresh.
bool takeOver(ServerProcess& process, AnnounceStart& announce);
