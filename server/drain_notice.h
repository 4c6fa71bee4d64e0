// The console's line about a draining stop: how many players are left and
// when the server stops at the latest. Written when the drain starts and as
// each player leaves.
#pragma once

#include <cstdint>

#include "server/game_server.h"

void tellDrainProgress(const GameServer& server, std::int32_t players);
