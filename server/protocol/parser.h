// The packet dispatcher and the handlers it calls.
#pragma once

#include "server/game_server.h"

// Handles every whole frame at the front of recvBuf. False: close the client.
bool parsePackets(GameServer& server, ClientConnection& client);

// Handlers; each removes its own frame. handleHello returns false when the
// login was refused and the client is to be closed.
bool handleHello(GameServer& server, ClientConnection& client);
void handleScoreReport(GameServer& server, ClientConnection& client);
void handleChatText(GameServer& server, ClientConnection& client);
void handleSetGatedFlag(GameServer& server, ClientConnection& client);
void handleSongSelected(GameServer& server, ClientConnection& client);
void handleSetSongFlag(GameServer& server, ClientConnection& client);
void handleSetPlayerValue(GameServer& server, ClientConnection& client);
void handleLobbyValue(GameServer& server, ClientConnection& client);
void handleStartCancel(GameServer& server, ClientConnection& client);
void handleStartVote(GameServer& server, ClientConnection& client);
void handleStreamOptIn(GameServer& server, ClientConnection& client);
