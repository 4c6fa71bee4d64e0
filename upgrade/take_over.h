// The upgrade in place, as the program started by it sees it: answering the
// check with what it makes of the state, taking the state and the sockets
// over, and serving. Until its first pass of the connection loop it reads
// and writes no client socket and no console; a failure before then (a
// crash, the time limit, a state it refuses) hands everything back to the
// program it was to replace, which serves on. That program, run again, takes
// the same state over and says why the upgrade failed.
#pragma once

#include "masterlist/announcer.h"
#include "server/game_server.h"
#include "streams/console_reader.h"

// In a program started as a check: answers it and returns true; the caller
// then ends the process. False in any other process.
bool answerCheckRequest();

// What taking over gives the process: the server record, whether it stays
// off the list, and where the announcement goes on.
struct TakenOver {
    GameServer* server = nullptr;
    bool onlylan = false;
    AnnounceStart announce{};
};

// At start: takes over the state an upgraded server left (or one handed
// back), with its connections, output and the console's unread input, which
// goes into console; the list's entry is kept on listHost unless the state
// names the host the list's start page redirected to. True when it did.
// False when there was nothing to take over (a line says why where something
// was there but could not be used); the server then starts afresh.
bool takeOver(ConsoleReader& console, const char* listHost, TakenOver& taken);

// The same in a process a keeper started to take a server over
// (keeper_link.h): the state and the sockets come from the keeper. A state
// it cannot take in full ends the process, after telling the keeper why: the
// server it was to take over serves on. True once taken.
bool takeOverFromKeeper(ConsoleReader& console, const char* listHost, TakenOver& taken);

// After takeOver or takeOverFromKeeper: starts the network thread, which tells the upgrade's
// outcome before its first pass; then the announcement goes on. Returns once
// the program serves.
void serveAfterTakeOver(const TakenOver& taken);
