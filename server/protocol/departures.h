// Clients leaving: a failed or refused connection, or a kick.
#pragma once

#include <cstdint>

#include "server/game_server.h"

// Closes the connection, frees the ID, hands the host role on, tells the
// others, and removes the record (references into the table are then stale).
void closeClient(GameServer& server, ClientConnection& client);

// Tells every other client that the leaver has left (PlayerLeft) and, where
// it was host, hands the role on (to the first other record in table order,
// logged in or not) and tells who has it now (HostAssigned). The leaver's
// record may be in the table still, or gone.
void tellOfDeparture(GameServer& server, std::uint8_t leaver, bool wasHost);

// A kick from another thread: the socket may be one the network thread is
// waiting on, so only the network thread may close it. Reports an unknown (or
// already kicked) ID; otherwise marks the client and returns true, and the
// caller wakes the network thread, which then runs carryOutKicks.
bool requestKick(GameServer& server, std::uint8_t id);
// Sends each marked client "You were kicked" and closes it, in table order.
void carryOutKicks(GameServer& server);
