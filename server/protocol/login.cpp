// Login: the Hello exchange, name de-duplication, and what a newcomer and the
// others learn about each other.
#include <cstdio>
#include <cstring>

#include "server/client_table.h"
#include "server/protocol/handlers.h"
#include "server/protocol/packets.h"
#include "server/protocol/send_queue.h"
#include "streams/output.h"

namespace {

// A name that another record holds gets "(id)" appended; the walk goes on
// from there, so only the records after a clash see the new name.
void makeNameUnique(GameServer& server, ClientConnection& client) {
    for (const auto& other : server.clients) {
        if (other.id == client.id || std::strcmp(other.name, client.name) != 0) continue;
        char unique[80];
        int n = std::snprintf(unique, sizeof unique, "%s(%d)", client.name, client.id);
        if (n > 63) std::snprintf(unique, sizeof unique, "%.58s(%d)", client.name, client.id);
        std::memset(client.name, 0, sizeof client.name);
        std::memcpy(client.name, unique, std::strlen(unique));
    }
}

bool passwordMatches(const GameServer& server, const std::uint8_t* field) {
    std::size_t n = fieldTextLength(field, kNameFieldSize);
    return n == std::strlen(server.password) && std::memcmp(field, server.password, n) == 0;
}

void welcome(GameServer& server, ClientConnection& client) {
    std::uint8_t packet[kChatTextLength];
    if (server.songId != 0 && server.hostId != 0) {
        buildSongSelected(server.songId, server.songArg1, server.songName, server.songArg2, packet);
        queuePacket(server, client, packet);
    }
    for (auto& other : server.clients) {
        if (other.id == client.id) continue;
        buildPlayerInfo(client.id, 0, client.name, 0, client.isHost, server.songArg3, packet);
        queuePacket(server, other, packet);
        buildPlayerInfo(other.id, other.gatedFlag, other.name, other.songFlag, other.isHost, other.playerValue, packet);
        queuePacket(server, client, packet);
    }
    if (server.hostId == 0) {
        packet[0] = kHostAssigned;
        packet[1] = client.id;
        queuePacket(server, client, packet);
        // The first player starts a lobby of its own.
        resetLobby(server);
        server.hostId = client.id;
        client.isHost = 1;
    }
    packet[0] = kLobbyValue;
    writeInt32(packet + 1, server.lobbyValue);
    queuePacket(server, client, packet);
    if (server.songRunning == 1) {
        int elapsed = static_cast<int>(static_cast<double>(calendarSeconds() - server.songStartTime));
        char text[kChatTextSize + 1];
        std::snprintf(text, sizeof text,
                      "The current song was started %d seconds ago, you will have to wait until it finishes before "
                      "you can start playing.",
                      elapsed);
        buildChatText(text, packet);
        queuePacket(server, client, packet);
    }
    Line line;
    lineStart(line);
    lineAdd(line, "Player \"");
    lineAddClientText(line, client.name, sizeof client.name);
    lineAdd(line, "\" connected.");
    lineWrite(line, Stream::Out);
}

}  // namespace

bool handleHello(GameServer& server, ClientConnection& client) {
    const std::uint8_t* hello = client.recvBuf + 1;
    std::uint8_t status = kStatusAccepted;

    std::memset(client.name, 0, sizeof client.name);
    std::memcpy(client.name, hello + kHelloName, fieldTextLength(hello + kHelloName, sizeof client.name - 1));
    makeNameUnique(server, client);

    if (readFloat32(hello + kHelloVersion) != server.version) {
        writeLine(Stream::Out, "Client version differs from Server");
        status = kStatusVersionDiffers;
    }
    if (!passwordMatches(server, hello + kHelloPassword)) {
        writeLine(Stream::Out, "Wrong password");
        status = kStatusWrongPassword;
    }
    // A draining server takes no one new: its clients know what "full" means.
    if (server.clients.size() > server.maxPlayers.load() || server.draining.load() != 0) {
        writeLine(Stream::Out, "Server is full");
        status = kStatusServerFull;
    } else if (status == kStatusAccepted) {
        client.authenticated = 1;
        countPlayers(server, 1);
    }
    count(server.counters, status == kStatusAccepted         ? Counter::LoginsAccepted
                           : status == kStatusServerFull     ? Counter::LoginsServerFull
                           : status == kStatusWrongPassword  ? Counter::LoginsWrongPassword
                                                             : Counter::LoginsVersionDiffers);

    std::uint8_t reply[kHelloReplyLength];
    buildHelloReply(client.id, status, client.name, reply);
    queuePacket(server, client, reply);

    if (status != kStatusAccepted) {
        flushSendBuffer(server, client);
        return false;
    }
    welcome(server, client);
    return true;
}
