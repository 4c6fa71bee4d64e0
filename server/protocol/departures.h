// Clients leaving: a failed or refused connection, or a kick.
#pragma once

#include <cstdint>

#include "server/game_server.h"

// Closes the connection, frees the ID, hands the host role on, tells the
// others, and removes the record (references into the table are then stale).
void closeClient(GameServer& server, ClientConnection& client);

// Sends the client "You were kicked" and closes it; reports an unknown ID.
void kickClient(GameServer& server, std::uint8_t id);
