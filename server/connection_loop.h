// The connection loop: one select over the listener and every client, then
// accept, read, write and close as the sockets say.
#pragma once

#include "server/game_server.h"

enum class LoopEnd {
    Stopped,  // the stop was seen and the clients are closed
    Failed,   // select or the listener failed; try again
};

void setupFdSets(GameServer& server, Socket listener, SocketSet& readSet, SocketSet& writeSet, SocketSet& exceptSet);

// Runs passes until the server stops or a pass fails.
LoopEnd acceptConnections(GameServer& server, Socket listener);
