#include "server/protocol/framing.h"

#include <cstring>

#include "net/output.h"
#include "server/protocol/packets.h"
#include "server/protocol/parser.h"

namespace {

void reportDrop() { writeLine(Stream::Err, "Send buffer to small, packet was dropped."); }

// With sendLock held.
bool flushLocked(ClientConnection& client) {
    int sent = netSend(client.sock, client.sendBuf, client.sendLen);
    if (sent < 0) return netPendingError(client.sock) == kErrWouldBlock;
    std::uint32_t n = static_cast<std::uint32_t>(sent);
    if (n >= client.sendLen) {
        client.sendLen = 0;
    } else {
        client.sendLen -= n;
        std::memmove(client.sendBuf, client.sendBuf + n, client.sendLen);
    }
    return true;
}

// With sendLock held: whether a frame of frameLen bytes fits, after writing
// out what the socket takes when it does not fit at once. Frames are small
// and real-time; dropping one that the socket could take would be a loss
// for nothing.
bool makeRoom(ClientConnection& client, std::uint32_t frameLen) {
    if (client.sendLen + frameLen <= kBufferSize) return true;
    flushLocked(client);
    return client.sendLen + frameLen <= kBufferSize;
}

enum class RelayTo { Others, OptedIn, All };

void relay(GameServer& server, ClientConnection& sender, RelayTo to) {
    std::uint32_t frameLen = 1 + PacketLengthTable[sender.recvBuf[1]];
    for (auto& recipient : server.clients) {
        if (to != RelayTo::All && recipient.id == sender.id) continue;
        std::lock_guard<std::mutex> guard(server.sendLock);
        if (!makeRoom(recipient, frameLen)) {
            reportDrop();
            continue;
        }
        if (to == RelayTo::OptedIn && recipient.streamOptIn == 0) continue;
        std::memcpy(recipient.sendBuf + recipient.sendLen, sender.recvBuf, frameLen);
        recipient.sendLen += frameLen;
    }
}

}  // namespace

bool readData(GameServer& server, ClientConnection& client) {
    int n = netRecv(client.sock, client.recvBuf + client.recvLen, static_cast<std::size_t>(kBufferSize - client.recvLen));
    if (n == 0) {
        Line line;
        lineStart(line);
        lineAdd(line, "Socket ");
        lineAddUnsigned(line, client.sock);
        lineAdd(line, " was closed by the client. Shutting down.");
        lineWrite(line, Stream::Out);
        return false;
    }
    if (n < 0) return netPendingError(client.sock) == kErrWouldBlock;
    client.recvLen += n;
    return parsePackets(server, client);
}

void queuePacket(GameServer& server, ClientConnection& client, const std::uint8_t* packet) {
    std::uint32_t n = PacketLengthTable[packet[0]];
    {
        std::lock_guard<std::mutex> guard(server.sendLock);
        if (!makeRoom(client, 1 + n)) {
            reportDrop();
            return;
        }
        client.sendBuf[client.sendLen] = 0;
        client.sendLen += 1;
        std::memcpy(client.sendBuf + client.sendLen, packet, n);
        client.sendLen += n;
    }
    flushSendBuffer(server, client);
}

void relayToOthers(GameServer& server, ClientConnection& sender) { relay(server, sender, RelayTo::Others); }
void relayToOptedIn(GameServer& server, ClientConnection& sender) { relay(server, sender, RelayTo::OptedIn); }
void relayToAll(GameServer& server, ClientConnection& sender) { relay(server, sender, RelayTo::All); }

bool flushSendBuffer(GameServer& server, ClientConnection& client) {
    std::lock_guard<std::mutex> guard(server.sendLock);
    return flushLocked(client);
}

void removeFrame(ClientConnection& client) {
    std::int32_t frameLen = 1 + static_cast<std::int32_t>(PacketLengthTable[client.recvBuf[1]]);
    client.recvLen -= frameLen;
    std::memmove(client.recvBuf, client.recvBuf + frameLen, static_cast<std::size_t>(client.recvLen));
}
