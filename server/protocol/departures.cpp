#include "server/protocol/departures.h"

#include "platform/network/graceful_close.h"
#include "server/drain_notice.h"
#include "server/client_table.h"
#include "server/protocol/packets.h"
#include "server/protocol/send_queue.h"
#include "streams/output.h"

namespace {

// The host role moves on from a host that leaves (whether its record is still
// in the table or not): the first other record in table order becomes host,
// logged in or not. False, with hostId 0, when no other record is there.
bool handHostOn(GameServer& server, std::uint8_t leaver) {
    server.hostId = 0;
    for (auto& c : server.clients) {
        if (c.id == leaver) continue;
        c.isHost = 1;
        server.hostId = c.id;
        return true;
    }
    return false;
}

}  // namespace

void closeClient(GameServer& server, ClientConnection& client) {
    const std::uint8_t leaver = client.id;
    const bool wasHost = client.isHost == 1;
    const bool wasPlayer = client.authenticated != 0;
    count(server.counters, client.closeCause);

    {
        std::lock_guard<std::mutex> guard(server.sendLock);
        reportUnreportedDrops(client);
    }
    // The handle is released even when the peer has not closed its side yet.
    releaseConnection(client.sock, kCloseDrainReceives);
    Line line;
    lineStart(line);
    lineAdd(line, "Client ID ");
    lineAddInt(line, leaver);
    lineAdd(line, " disconnected");
    lineWrite(line, Stream::Out);
    releaseClientId(server, leaver);

    tellOfDeparture(server, leaver, wasHost);

    removeClientById(server, leaver);
    if (wasPlayer) {
        countPlayers(server, -1);
        // A draining server tells of each player that leaves.
        std::int32_t left = server.playerCount.load();
        if (server.draining.load() != 0 && left > 0) tellDrainProgress(server, left);
    }
    lineStart(line);
    lineAdd(line, "number of clients: ");
    lineAddUnsigned(line, clientCount(server));
    lineWrite(line, Stream::Out);

    if (server.clients.empty()) resetLobby(server);
}

void tellOfDeparture(GameServer& server, std::uint8_t leaver, bool wasHost) {
    const bool newHost = wasHost && handHostOn(server, leaver);
    std::uint8_t packet[2];
    for (auto& c : server.clients) {
        if (c.id == leaver) continue;
        packet[0] = kPlayerLeft;
        packet[1] = leaver;
        queuePacket(server, c, packet);
        if (newHost) {
            packet[0] = kHostAssigned;
            packet[1] = server.hostId;
            queuePacket(server, c, packet);
        }
    }
}

namespace {

void reportNotFound(std::uint8_t id) {
    Line line;
    lineStart(line);
    lineAdd(line, "Client with ID ");
    lineAddInt(line, id);
    lineAdd(line, " not found");
    lineWrite(line, Stream::Out);
}

// The notice is handed to the socket before the connection is shut down.
void kickClient(GameServer& server, ClientConnection& client) {
    std::uint8_t packet[kChatTextLength];
    buildChatText("You were kicked", packet);
    queuePacket(server, client, packet);
    client.closeCause = Counter::DisconnectsKicked;
    closeClient(server, client);
}

}  // namespace

bool requestKick(GameServer& server, std::uint8_t id) {
    ClientConnection* client = findClientById(server, id);
    // A client already kicked is as good as gone.
    if (!client || client->kickRequested) {
        reportNotFound(id);
        return false;
    }
    client->kickRequested = 1;
    return true;
}

void carryOutKicks(GameServer& server) {
    forEachClientClosing(server, [&server](ClientConnection& c) {
        if (c.kickRequested != 0) kickClient(server, c);
    });
}
