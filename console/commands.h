// The operator's console: one line in, one command out.
#pragma once

#include <cstdint>
#include <string>

#include "server/game_server.h"

// Handles one console line. False when the line ends the console ("exit").
bool handleConsoleLine(GameServer& server, const std::string& line);

void printHelp();
void setMaxPlayers(GameServer& server, std::int32_t value);
void listPlayers(GameServer& server);
void broadcastChat(GameServer& server, const std::string& text);
