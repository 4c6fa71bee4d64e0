// The operator's console: one line in, one command out.
#pragma once

#include <string>

#include "server/game_server.h"

// Handles one console line. False when the line ends the console ("exit").
bool handleConsoleLine(GameServer& server, const std::string& line);
