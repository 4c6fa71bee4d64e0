// The server's life: creation, start, the network thread, stop.
#pragma once

#include <cstdint>

#include "server/game_server.h"

// The one server record; it lives until the process ends. maxPlayers keeps
// its low 8 bits, name its first 63 characters.
GameServer* createServer(const char* name, std::int32_t port, std::int32_t maxPlayers);

// Prints "Starting server..." and starts the network thread; returns at once.
void startNetwork(GameServer& server);
// Starts the network thread of a server that took over from an upgrade, with
// its listener and clients in place: no lines.
void resumeNetwork(GameServer& server, void (*beforeFirstPass)(void*), void* context);

// The network thread's entry: 0 after a stop, 3 when the listener could not
// be opened, 255 when the socket library did not start. Where beforeFirstPass
// is given (a server that took over), the thread calls it before it opens a
// listener or touches a client socket, and its first pass then carries out at
// once what came with the clients (a kick, say), even where no client has
// anything to say.
int networkThread(GameServer& server, void (*beforeFirstPass)(void*) = nullptr, void* context = nullptr);

// A loop that came round this recently shows that it runs.
inline constexpr long long kLoopShownRecentlyMs = 1000;
// Whether the network thread's loop shows that it runs: it came round within
// kLoopShownRecentlyMs, or, woken now (an idle loop waits in select), it
// comes round within waitMs. For health checks; takes no lock.
bool networkLoopRuns(GameServer& server, long long waitMs);

// Sets stopFlag and wakes the threads that wait for it.
void requestStop(GameServer& server);

// Prints "Stopping server...", ends the connection loop and waits until the
// network thread has closed the clients, though not for ever on one that is
// stuck. Called once.
void stopNetwork(GameServer& server);
