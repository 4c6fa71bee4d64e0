// A server kept by a keeper process (kept_server.h), as the server sees it:
// it hears its stop and hand-over requests from the keeper, tells the keeper
// when it serves, and, when it was started to take another server over,
// reads that server's state and sockets from it (take_over.h).
#pragma once

#include <string>

#include "keeper/keeper_protocol.h"
#include "platform/process/stop_signal.h"
#include "server/game_server.h"
#include "streams/console_reader.h"

// At start: whether a keeper started this process; *takesOver: to take a
// server over. Notices (service_notify.h) go to the keeper from now on.
bool joinKeeper(bool* takesOver);
bool keptByKeeper();

// The messages from the keeper, and a message to it.
MessageReader& keeperMessages();
bool tellKeeper(const std::string& line);
bool tellKeeperBytes(const void* bytes, std::size_t len);

// Once the server serves: a thread that takes the keeper's requests. A stop
// goes to onStop(context, request), as a stop signal would; a hand-over is
// carried out (hand_over.h). A keeper that is gone is an interrupt: nobody
// would take the server's output or stop it otherwise.
void followKeeper(GameServer& server, ConsoleReader& console, bool onlylan, void (*onStop)(void*, StopRequest),
                  void* context);
