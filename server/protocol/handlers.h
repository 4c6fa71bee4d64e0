// The handlers of the packets a client sends, which parsePackets calls with
// the packet's frame at the front of the client's recvBuf.
#pragma once

#include "server/game_server.h"

// Each handler takes its own frame off with removeFrame, whether it acts on
// the packet or ignores it, so that the parser always advances. handleHello
// returns false when the login was refused and the client is to be closed.
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

// Removes the frame at the front of recvBuf. Kept with the parser
// (parser.cpp), which alone decides where frames begin.
void removeFrame(ClientConnection& client);
