#include "server/protocol/parser.h"

#include "net/output.h"
#include "server/protocol/framing.h"
#include "server/protocol/packets.h"

namespace {

// Ends a connection from inside the parser: the scan finds the socket in
// exceptSet and closes the client. parsePackets then returns false.
void markForClose(GameServer& server, ClientConnection& client) {
    if (!socketSetHas(server.exceptSet, client.sock) && server.exceptSet.count < kSocketSetSize)
        socketSetAdd(server.exceptSet, client.sock);
}

void relayAndRemove(void (*relay)(GameServer&, ClientConnection&), GameServer& server, ClientConnection& client) {
    relay(server, client);
    removeFrame(client);
}

}  // namespace

bool parsePackets(GameServer& server, ClientConnection& client) {
    while (client.recvLen >= 2) {
        std::uint8_t id = client.recvBuf[1];
        if (id < kPacketIdCount && client.recvLen < 1 + static_cast<std::int32_t>(PacketLengthTable[id])) return true;

        if (client.authenticated == 0 && id != kHello) {
            Line line;
            lineStart(line);
            lineAdd(line, "unauthenticated client tried sending something different than the version packet, packet id: ");
            lineAddInt(line, static_cast<std::int8_t>(id));
            lineWrite(line, Stream::Out);
            markForClose(server, client);
            return false;
        }

        switch (id) {
        case kStreamRelay0:
        case kStreamRelay2:
        case kStreamRelay9: relayAndRemove(relayToOptedIn, server, client); break;
        case kRelay4:
        case kRelay6:
        case kRelay7:
        case kRelay8: relayAndRemove(relayToOthers, server, client); break;
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
    }
    return true;
}
