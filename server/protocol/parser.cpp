#include "server/protocol/parser.h"

#include <cstring>

#include "server/client_table.h"
#include "server/protocol/handlers.h"
#include "server/protocol/packets.h"
#include "server/protocol/send_queue.h"
#include "streams/output.h"

namespace {

// Ends a connection from inside the parser: the scan finds the socket in
// exceptSet and closes the client. parsePackets then returns false.
void markForClose(GameServer& server, ClientConnection& client) {
    client.closeCause = Counter::DisconnectsRefused;
    if (!socketSetHas(server.exceptSet, client.sock) && server.exceptSet.count < kSocketSetSize)
        socketSetAdd(server.exceptSet, client.sock);
}

// Takes the frame at the front of recvBuf off; the parser alone decides
// where frames begin.
void removeFrame(ClientConnection& client) {
    std::int32_t frameLen = static_cast<std::int32_t>(frameLength(client.recvBuf[1]));
    client.recvLen -= frameLen;
    std::memmove(client.recvBuf, client.recvBuf + frameLen, static_cast<std::size_t>(client.recvLen));
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
        client.closeCause = Counter::DisconnectsClosedByClient;
        return false;
    }
    if (n < 0) return failureKeepsConnection(client);
    count(server.counters, Counter::BytesReceived, static_cast<std::uint64_t>(n));
    client.recvLen += n;
    return parsePackets(server, client);
}

bool parsePackets(GameServer& server, ClientConnection& client) {
    while (client.recvLen >= 2) {
        std::uint8_t id = client.recvBuf[1];
        if (id < kPacketIdCount && client.recvLen < static_cast<std::int32_t>(frameLength(id))) return true;

        if (client.authenticated == 0 && id != kHello) {
            Line line;
            lineStart(line);
            lineAdd(line, "unauthenticated client tried sending something different than the version packet, packet id: ");
            lineAddInt(line, static_cast<std::int8_t>(id));
            lineWrite(line, Stream::Out);
            markForClose(server, client);
            return false;
        }

        count(server.counters, Counter::FramesReceived);
        switch (id) {
        case kStreamRelay0:
        case kStreamRelay2:
        case kStreamRelay9: relayToOptedIn(server, client); break;
        case kRelay4:
        case kRelay6:
        case kRelay7:
        case kRelay8: relayToOthers(server, client); break;
        case kScoreReport: handleScoreReport(server, client); break;
        case kChatText: handleChatText(server, client); break;
        case kHello:
            if (!handleHello(server, client)) {
                markForClose(server, client);
                return false;
            }
            break;
        case kSetGatedFlag: handleSetGatedFlag(server, client); break;
        case kSongSelected: handleSongSelected(server, client); break;
        case kSetSongFlag: handleSetSongFlag(server, client); break;
        case kSetPlayerValue: handleSetPlayerValue(server, client); break;
        case kLobbyValue: handleLobbyValue(server, client); break;
        case kStartCancel: handleStartCancel(server, client); break;
        case kStartVote: handleStartVote(server, client); break;
        case kStreamOptIn: handleStreamOptIn(server, client); break;
        default:  // server-only packets and ids without a length
            writeLine(Stream::Err, "Error while parsing data");
            markForClose(server, client);
            return false;
        }
        // Every frame is taken off here, once, whatever its handler did with
        // it: a handler cannot hold the parser on one frame.
        removeFrame(client);
    }
    return true;
}
