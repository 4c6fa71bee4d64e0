// The health and metrics endpoint: a small HTTP/1.1 server on a port of its
// own, for a fleet's orchestrator and scraper. It reads the server's atomics
// only and never takes tableLock or sendLock, so no request, however slow or
// malformed, can hold up a player.
//   GET or HEAD /metrics  the metrics (monitoring/metrics.h)
//   GET or HEAD /livez    200 while the network thread's loop runs, else 503
//   GET or HEAD /readyz   200 while the game port listens and no draining
//                         stop is under way, else 503
// Other paths 404, other methods 405, a head over 8 KiB 431, a malformed one
// 400; every answer closes its connection.
#pragma once

#include "server/game_server.h"

// Connections served at once; one more is accepted and closed at once.
inline constexpr int kHttpConnections = 4;
// A connection's whole request must come within this, and its answer be
// taken within as long again.
inline constexpr long long kHttpRequestMs = 2000;

// Opens the endpoint on "host:port" (monitoring/http_address.h) and starts
// its thread, which runs until the process ends. Prints the address it
// serves on, or why there is none: an address that cannot be used or a port
// that cannot be opened leaves the server serving without the endpoint.
// inUseWaitMs: a port in use is tried again for that long (a server that
// took over from another process, which still holds it for a moment).
bool startHttpEndpoint(GameServer& server, const char* address, int inUseWaitMs = 0);
