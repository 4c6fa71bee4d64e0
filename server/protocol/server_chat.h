// Chat from the server itself: the operator's "say", and what a draining
// stop tells the players.
#pragma once

#include <cstddef>

#include "server/game_server.h"

// Sends text (at most one chat packet's worth; a zero byte ends it) to every
// client and writes "Server: text" on the console. Takes the table's lock.
void sayToAll(GameServer& server, const char* text, std::size_t len);
