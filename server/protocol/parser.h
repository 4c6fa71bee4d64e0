// The receive side: bytes from a client's socket collected in its recvBuf,
// and every whole frame handed to its handler.
#pragma once

#include "server/game_server.h"

// Receives what the socket has and parses every whole frame. False: close;
// a failed receive leaves its error in failCode.
bool readData(GameServer& server, ClientConnection& client);

// Handles every whole frame at the front of recvBuf. False: close the client.
bool parsePackets(GameServer& server, ClientConnection& client);
