// The lobby and song flow: chat, song selection, flags and values, the start
// vote, scores and the stream opt-in.
#include <cstdio>
#include <cstring>

#include "server/protocol/handlers.h"
#include "server/protocol/packets.h"
#include "server/protocol/send_queue.h"
#include "streams/output.h"

namespace {

// The packet at the front of recvBuf, from its id byte.
const std::uint8_t* packetOf(const ClientConnection& client) { return client.recvBuf + 1; }

void lineAddDouble(Line& line, double value) {
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "%g", value);
    lineAddBytes(line, buf, static_cast<std::size_t>(n));
}

void clearGatedFlags(GameServer& server) {
    for (auto& c : server.clients) c.gatedFlag = 0;
}

void startSong(GameServer& server, ClientConnection& sender, const char* lineText) {
    clearGatedFlags(server);
    relayToAll(server, sender);
    server.songStartTime = calendarSeconds();
    server.songRunning = 1;
    count(server.counters, Counter::SongsStarted);
    Line line;
    lineStart(line);
    lineAdd(line, lineText);
    lineAddClientText(line, server.songName, sizeof server.songName);
    lineWrite(line, Stream::Out);
}

}  // namespace

void handleScoreReport(GameServer& server, ClientConnection& client) {
    const std::uint8_t* p = packetOf(client);
    Line line;
    lineStart(line);
    lineAddClientText(line, client.name, sizeof client.name);
    lineAdd(line, " scored: ");
    lineAddDouble(line, readFloat64(p + kScoreValue));
    lineWrite(line, Stream::Out);

    std::int32_t numerator = readInt32(p + kScoreAccuracyNumerator);
    std::int32_t denominator = readInt32(p + kScoreAccuracyDenominator);
    if (denominator > 0) {
        lineStart(line);
        lineAdd(line, "Accuracy: ");
        lineAddDouble(line, static_cast<double>(numerator) / static_cast<double>(denominator) * 100.0);
        lineWrite(line, Stream::Out);
    }
    relayToOthers(server, client);
    server.songRunning = 0;
}

void handleChatText(GameServer& server, ClientConnection& client) {
    relayToOthers(server, client);
    Line line;
    lineStart(line);
    lineAddClientText(line, client.name, sizeof client.name);
    lineAdd(line, ": ");
    lineAddClientText(line, reinterpret_cast<const char*>(packetOf(client) + 1), kChatTextSize);
    lineWrite(line, Stream::Out);
}

void handleSetGatedFlag(GameServer& server, ClientConnection& client) {
    if (client.songFlag == 1) {
        client.gatedFlag = packetOf(client)[1];
        relayToOthers(server, client);
    }
}

void handleSongSelected(GameServer& server, ClientConnection& client) {
    if (client.isHost != 1) return;
    const std::uint8_t* p = packetOf(client);
    server.songId = readInt32(p + kSongId);
    std::memset(server.songName, 0, sizeof server.songName);
    std::memcpy(server.songName, p + kSongName, kNameFieldSize);
    server.songArg1 = readInt32(p + kSongArg1);
    server.songArg2 = readInt32(p + kSongArg2);
    client.songFlag = 1;

    Line line;
    lineStart(line);
    lineAdd(line, "song set to ");
    lineAddClientText(line, server.songName, sizeof server.songName);
    lineWrite(line, Stream::Out);

    std::int32_t arg3 = readInt32(p + kSongArg3);
    for (auto& c : server.clients) {
        server.songArg3 = arg3;
        c.playerValue = arg3;
    }
    relayToOthers(server, client);
}

void handleSetSongFlag(GameServer& server, ClientConnection& client) {
    client.songFlag = packetOf(client)[1];
    relayToOthers(server, client);
}

void handleSetPlayerValue(GameServer& server, ClientConnection& client) {
    client.playerValue = readInt32(packetOf(client) + 1);
    relayToOthers(server, client);
}

void handleLobbyValue(GameServer& server, ClientConnection& client) {
    if (client.isHost == 1) {
        server.lobbyValue = readInt32(packetOf(client) + 1);
        relayToOthers(server, client);
    }
}

void handleStartCancel(GameServer& server, ClientConnection& client) {
    relayToAll(server, client);
    for (auto& c : server.clients) c.startVote = 0;
}

void handleStartVote(GameServer& server, ClientConnection& client) {
    if (client.startVote == 1) {
        startSong(server, client, "starting to play song");
        return;
    }
    client.startVote = 1;
    bool allVoted = true;
    for (const auto& c : server.clients)
        if (c.startVote == 0) allVoted = false;
    if (allVoted) startSong(server, client, "starting to play song ");
}

void handleStreamOptIn(GameServer&, ClientConnection& client) {
    client.streamOptIn = packetOf(client)[1];
}
