// The byte streams of several clients through framing, parser, login and
// lobby: arbitrary bytes in arbitrary splits, clients coming and going.
//
// The input is a list of steps. Each step starts with one byte:
//   low 2 bits: the client (by its place in the table, modulo its size)
//   next 2 bits: what happens
//     0, 1: that client's next bytes arrive; the following byte gives how
//           many (that many input bytes follow, or what is left)
//     2:    a new connection is accepted
//     3:    the client's peer reads what was queued for it, or, when the top
//           bit is set, goes away
#include <cstring>

#include "fuzz_support.h"
#include "server/protocol/departures.h"
#include "server/protocol/parser.h"

namespace {

constexpr std::size_t kMostClients = 6;

// As readData after a receive: bytes appended, then every whole frame handled.
// False: the connection loop would close the client.
bool receive(GameServer& server, ClientConnection& c, const std::uint8_t* bytes, std::size_t n) {
    std::size_t room = static_cast<std::size_t>(kBufferSize - c.recvLen);
    if (n > room) n = room;
    std::memcpy(c.recvBuf + c.recvLen, bytes, n);
    c.recvLen += static_cast<std::int32_t>(n);
    bool keep = parsePackets(server, c);
    if (keep) {
        // What stays is less than one whole frame.
        if (c.recvLen >= 2) {
            std::uint8_t id = c.recvBuf[1];
            FUZZ_CHECK(id < kPacketIdCount && c.recvLen < 1 + static_cast<std::int32_t>(PacketLengthTable[id]));
        }
    }
    return keep;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto server = fuzz::newServer(3);
    std::uint32_t nextSocket = 0;
    fuzz::connectClient(*server, nextSocket);
    fuzz::connectClient(*server, nextSocket);
    std::size_t at = 0;
    while (at < size) {
        std::uint8_t step = data[at++];
        socketSetClear(server->exceptSet);
        if (server->clients.empty()) {
            fuzz::connectClient(*server, nextSocket);
            continue;
        }
        ClientConnection& c = server->clients[(step & 3) % server->clients.size()];
        switch ((step >> 2) & 3) {
        case 0:
        case 1: {
            std::size_t n = at < size ? data[at++] : 0;
            if (n > size - at) n = size - at;
            bool keep = receive(*server, c, data + at, n);
            at += n;
            if (!keep) closeClient(*server, c);
            break;
        }
        case 2:
            if (server->clients.size() < kMostClients) fuzz::connectClient(*server, nextSocket);
            break;
        case 3:
            if (step & 0x80) closeClient(*server, c);
            else c.sendLen = 0;
            break;
        }
        fuzz::checkTable(*server);
    }
    return 0;
}
