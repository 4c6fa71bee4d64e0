// The live records and the handover state: what a server gives up in an
// upgrade in place, and how the program that takes over builds its records
// again from it, trusting nothing it has not checked.
#pragma once

#include "masterlist/announcer.h"
#include "masterlist/master_list.h"
#include "server/game_server.h"
#include "upgrade/handover_state.h"

// With tableLock and sendLock held: the settings, the listener, the lobby and
// every client.
void captureServer(const GameServer& server, bool onlylan, HandoverState& state);
// The list entry and its schedule, as the announcement thread last told them.
void captureList(const MasterListState& list, HandoverState& state);

// What rebuilding the server leaves to its first pass: the clients that
// cannot be kept (refused by the reader, or whose socket is not what the
// state says, or a host without a record), whom the others are told have
// left, and the sockets that close.
struct LeftOut {
    bool gone[kMaxClientId + 1];
    std::uint8_t host;  // the host, where it is among them; the server then has none until the first pass
    std::uint32_t socketCount;
    Socket sockets[2 * kMaxClientId + 1];
};

// In the program that takes over, before any of its threads runs: the server
// record, with the inherited listener and clients each checked to be the
// socket it should be. It reads and writes no socket and closes none, so that
// everything can still be handed back. Where a failure can still be handed
// back (strict), nothing is left out: nullptr, with the reason in why, for
// the first thing that is not as the state says. Otherwise what cannot be
// kept is reported on standard error and noted in leftOut.
GameServer* restoreServer(HandoverState& state, bool strict, LeftOut& leftOut, char* why, std::size_t whySize);
// In the first pass of the connection loop, with tableLock held: the sockets
// of what was left out close, where the server does not hold them, and the
// others are told that those clients have left, the host role moving on.
void tellOfLeftOut(GameServer& server, const LeftOut& leftOut);
// Once the new program serves: the inherited sockets close when it starts a
// program, as the server's own do. Until then they stay open for a hand-back.
void keepRestoredSockets(GameServer& server);
// The list entry as it was, and where the announcement goes on.
void restoreList(const HandoverState& state, MasterListState& list);
AnnounceStart announceStartFrom(const HandoverState& state, const AnnounceSchedule& schedule);
