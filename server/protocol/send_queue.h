// The send side: frames queued in a client's sendBuf and written out to its
// socket. A recipient's buffer and its drop tally are touched only under
// sendLock, so the console can queue while the network thread relays.
#pragma once

#include <cstdint>

#include "server/game_server.h"

// Appends one built packet (id byte first) as a frame with lead byte 0, then
// tries to send at once. A frame that finds no room even after writing out
// what the socket takes is dropped with a message.
void queuePacket(GameServer& server, ClientConnection& client, const std::uint8_t* packet);

// Copy the frame at the front of the sender's recvBuf, lead byte as received,
// into the send buffers of: every other client; the other clients that opted
// in to streams; every client, the sender included. A recipient whose buffer
// was filled is marked flushPending, so that the connection loop writes it out
// at the end of its pass.
void relayToOthers(GameServer& server, ClientConnection& sender);
void relayToOptedIn(GameServer& server, ClientConnection& sender);
void relayToAll(GameServer& server, ClientConnection& sender);

// Writes out as much of the send buffer as the socket takes. False: close;
// the error found is then in failCode.
bool flushSendBuffer(GameServer& server, ClientConnection& client);

// With sendLock held: writes the line with the count of drops not yet
// reported for this recipient, if there are any.
void reportUnreportedDrops(ClientConnection& client);
