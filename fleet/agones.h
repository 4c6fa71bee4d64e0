// The orchestrator's game-server SDK, spoken to over its REST API on
// loopback by a thread of its own, so that no thread that serves players ever
// waits on the sidecar. It tells the orchestrator that the lobby is ready
// once the listener is open, that it is in use while a player is on (a
// fleet's rolling update then leaves it alone) and ready again when it is
// empty, that it is healthy while the network loop comes round, and that it
// shuts down at the stop. It learns the port players reach the lobby on, for
// the list's announcement.
#pragma once

#include <cstdint>

#include "server/game_server.h"

// Each request ends within this, however the sidecar behaves.
inline constexpr int kSdkRequestLimitMs = 2000;
// Health pings go this often: the orchestrator's health period is 5 s.
inline constexpr long long kHealthEveryMs = 2000;
// A request that failed (a sidecar not up yet) is made again after this.
inline constexpr long long kSdkRetryMs = 1000;
// The public port is asked for at most this many times, once a second.
inline constexpr int kPortTries = 5;
// The SDK out of reach this long gets a console line, and another at most
// every kSdkReportEveryMs while it stays so.
inline constexpr long long kSdkSilenceReportMs = 10000;
inline constexpr long long kSdkReportEveryMs = 30000;
// The stop waits this long for the thread's request under way, then the
// shutdown request gets the rest of kSdkShutdownWaitMs.
inline constexpr long long kSdkThreadStopWaitMs = 500;
inline constexpr long long kSdkShutdownWaitMs = 2000;

// Starts the SDK's thread for the SDK on 127.0.0.1:sdkPort; nothing where
// sdkPort is 0. Called once, before or after the network thread starts: the
// thread waits for the listener. Marks the public port pending.
void startAgones(GameServer& server, std::uint16_t sdkPort);

// Tells the SDK that the server shuts down, once the stop has been requested;
// returns within kSdkShutdownWaitMs. Nothing where no SDK was started.
void agonesShutdown();
