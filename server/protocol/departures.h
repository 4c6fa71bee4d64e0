// Clients leaving: a failed or refused connection, or a kick.
#pragma once

#include <cstdint>

#include "server/game_server.h"

// Closes the connection, frees the ID, hands the host role on, tells the
// others, and removes the record (references into the table are then stale).
void closeClient(GameServer& server, ClientConnection& client);

// The host role moves on from a host that leaves (whether its record is still
// in the table or not): the first other record in table order becomes host,
// logged in or not. False, with hostId 0, when no other record is there.
bool handHostOn(GameServer& server, std::uint8_t leaver);

// A kick from another thread: the socket may be one the network thread is
// waiting on, so only the network thread may close it. Reports an unknown (or
// already kicked) ID; otherwise marks the client and returns true, and the
// caller wakes the network thread, which then runs carryOutKicks.
bool requestKick(GameServer& server, std::uint8_t id);
// Sends each marked client "You were kicked" and closes it, in table order.
void carryOutKicks(GameServer& server);
