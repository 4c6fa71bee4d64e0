#include "server/protocol/send_queue.h"

#include <cstring>

#include "server/client_table.h"
#include "server/protocol/packets.h"
#include "streams/output.h"

namespace {

// With sendLock held. A recipient that stops reading would otherwise give a
// line for every frame the others send it: the first drop is reported, the
// drops of the following interval only counted, and the count is reported at
// its next drop after that (this one included) or when it is closed.
void reportDrop(GameServer& server, ClientConnection& client) {
    count(server.counters, Counter::FramesDropped);
    long long now = monotonicMs();
    if (client.dropReportMs != 0 && now - client.dropReportMs < kDropReportIntervalMs) {
        ++client.dropsUnreported;
        return;
    }
    client.dropReportMs = now != 0 ? now : 1;
    if (client.dropsUnreported == 0) {
        writeLine(Stream::Err, "Send buffer to small, packet was dropped.");
        return;
    }
    ++client.dropsUnreported;
    reportUnreportedDrops(client);
}

// With sendLock held. A failure other than would-block is kept for the
// connection loop's error line: reading the socket's error clears it.
bool flushLocked(GameServer& server, ClientConnection& client) {
    int sent = netSend(client.sock, client.sendBuf, client.sendLen);
    if (sent < 0) return failureKeepsConnection(client);
    std::uint32_t n = static_cast<std::uint32_t>(sent);
    count(server.counters, Counter::BytesSent, n);
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
bool makeRoom(GameServer& server, ClientConnection& client, std::uint32_t frameLen) {
    if (client.sendLen + frameLen <= kBufferSize) return true;
    flushLocked(server, client);
    return client.sendLen + frameLen <= kBufferSize;
}

enum class RelayTo { Others, OptedIn, All };

void relay(GameServer& server, ClientConnection& sender, RelayTo to) {
    std::uint32_t frameLen = frameLength(sender.recvBuf[1]);
    for (auto& recipient : server.clients) {
        if (to != RelayTo::All && recipient.id == sender.id) continue;
        std::lock_guard<std::mutex> guard(server.sendLock);
        if (!makeRoom(server, recipient, frameLen)) {
            reportDrop(server, recipient);
            continue;
        }
        if (to == RelayTo::OptedIn && recipient.streamOptIn == 0) continue;
        count(server.counters, Counter::FramesRelayed);
        std::memcpy(recipient.sendBuf + recipient.sendLen, sender.recvBuf, frameLen);
        recipient.sendLen += frameLen;
        recipient.flushPending = 1;
    }
}

}  // namespace

void queuePacket(GameServer& server, ClientConnection& client, const std::uint8_t* packet) {
    std::uint32_t frameLen = frameLength(packet[0]);
    {
        std::lock_guard<std::mutex> guard(server.sendLock);
        if (!makeRoom(server, client, frameLen)) {
            reportDrop(server, client);
            return;
        }
        client.sendBuf[client.sendLen] = 0;
        std::memcpy(client.sendBuf + client.sendLen + 1, packet, frameLen - 1);
        client.sendLen += frameLen;
    }
    flushSendBuffer(server, client);
}

void relayToOthers(GameServer& server, ClientConnection& sender) { relay(server, sender, RelayTo::Others); }
void relayToOptedIn(GameServer& server, ClientConnection& sender) { relay(server, sender, RelayTo::OptedIn); }
void relayToAll(GameServer& server, ClientConnection& sender) { relay(server, sender, RelayTo::All); }

bool flushSendBuffer(GameServer& server, ClientConnection& client) {
    std::lock_guard<std::mutex> guard(server.sendLock);
    return flushLocked(server, client);
}

void reportUnreportedDrops(ClientConnection& client) {
    if (client.dropsUnreported == 0) return;
    Line line;
    lineStart(line);
    lineAdd(line, "Send buffer to small, ");
    lineAddUnsigned(line, client.dropsUnreported);
    lineAdd(line, " more packets were dropped.");
    lineWrite(line, Stream::Err);
    client.dropsUnreported = 0;
}
