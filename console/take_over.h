// The upgrade in place, as the program started by it sees it: answering the
// check with what it makes of the state, taking the state and the sockets
// over, and serving. Until its first pass of the connection loop it reads
// and writes no client socket and no console; a failure before then (a
// crash, the time limit, a state it refuses) hands everything back to the
// program it was to replace, which serves on. That program, run again, takes
// the same state over and says why the upgrade failed.
#pragma once

#include "console/server_control.h"

// In a program started as a check: answers it and returns true; the caller
// then ends the process. False in any other process.
bool answerCheckRequest();

// At start: takes over the state an upgraded server left (or one handed
// back), with its connections, console input and output. True when it did:
// the server record is made and announce tells where the announcement goes
// on. False when there was nothing to take over (a line says why where
// something was there but could not be used); the server then starts afresh.
bool takeOver(ServerProcess& process, AnnounceStart& announce);

// After takeOver: starts the network thread, which tells the upgrade's
// outcome before its first pass; then the announcement goes on. Returns once
// the program serves.
void serveAfterTakeOver(ServerProcess& process, const AnnounceStart& announce);
