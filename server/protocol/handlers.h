// The handlers of the packets a client sends, which parsePackets calls with
// the packet's frame at the front of the client's recvBuf; parsePackets takes
// the frame off after the handler.
#pragma once

#include "server/game_server.h"

// handleHello returns false when the login was refused and the client is to
// be closed.
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

