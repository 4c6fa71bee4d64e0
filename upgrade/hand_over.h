// The upgrade as a kept server carries it out: the keeper has started the
// new program as another process; this one gives it a description of every
// socket and the state (the format of the upgrade in place), through the
// keeper, and waits for its verdict. Only once the new process serves does
// this one close its own descriptors (never shutting a socket down) and end;
// until then it gives nothing up, and whatever goes wrong, it serves on.
#pragma once

#include <cstdint>
#include <string>

#include "server/game_server.h"
#include "streams/console_reader.h"

// On the thread that follows the keeper, which told it to hand over to the
// process `pid`. Ends the process where the new one serves; otherwise
// returns, after the line that says why, and the server serves on.
void handOverTo(GameServer& server, ConsoleReader& console, bool onlylan, std::uint32_t pid);
