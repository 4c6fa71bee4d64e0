// The draining stop: the first termination request leaves the list and
// refuses new logins as a full server does, while the players in the lobby
// play on; the usual stop follows when the last player has left, or at the
// deadline. A second request stops at once.
#pragma once

#include <cstdint>

#include "server/game_server.h"

// How long before the deadline the players are told once more.
inline constexpr long long kDrainLastCallMs = 30000;

// Starts a drain of `seconds` where it is asked for (seconds > 0) and none is
// under way; stop(context) runs the usual stop when it ends, on a thread of
// the drain's own. False where the request must stop the server at once.
bool beginDrain(GameServer& server, std::int32_t seconds, void (*stop)(void*), void* context);

// Goes on with the drain an upgrade in place carried over, to the same
// deadline: the list was left and the players were told already.
void resumeDrain(GameServer& server, void (*stop)(void*), void* context);
