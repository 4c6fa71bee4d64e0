// The client table: records in accept order, and the pool of client IDs.
#pragma once

#include <cstdint>

#include "server/game_server.h"

// The lowest free ID from 1 up, now taken; 0 when all of 1..255 are held.
std::uint8_t allocateClientId(GameServer& server);
void releaseClientId(GameServer& server, std::uint8_t id);

// Appends a fresh record for an accepted socket. Returns it, or nullptr when
// no memory could be had for a larger table.
ClientConnection* appendClient(GameServer& server, Socket sock, std::uint8_t id);
// Removes the record at index; later records move down by one.
void removeClientAt(GameServer& server, std::size_t index);
// Removes the first record with this ID.
void removeClientById(GameServer& server, std::uint8_t id);

// The first record with this ID, or nullptr. ID 0 is never found.
ClientConnection* findClientById(GameServer& server, std::uint8_t id);
std::uint32_t clientCount(const GameServer& server);
// After a failed receive or send on the client's socket: true when the
// failure only means "not now"; otherwise its error is kept in failCode for
// the connection loop's error line (reading the socket's error clears it).
bool failureKeepsConnection(ClientConnection& client);

// Adds change to the players logged in (playerCount) and wakes whoever waits
// for their number to change: a draining stop waits for the lobby to empty.
void countPlayers(GameServer& server, std::int32_t change);

// Records from this peer address (dotted decimal) that have not logged in.
int pendingLoginsFrom(const GameServer& server, const char* ip);

// Visits every client once, in table order; visit(client) may close that
// client. A closed record leaves the table, and the walk goes on with the
// record that took its place. A close tells the others and may hand the host
// role on, but closes no one else, so nothing is visited twice or passed over.
template <typename Visit>
void forEachClientClosing(GameServer& server, Visit visit) {
    for (std::size_t i = 0; i < server.clients.size();) {
        std::size_t before = server.clients.size();
        visit(server.clients[i]);
        if (server.clients.size() == before) ++i;
    }
}
