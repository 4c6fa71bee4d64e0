#include "server/protocol/packets.h"

#include <cstring>

const std::uint32_t PacketLengthTable[kPacketIdCount] = {
    29, 29, 2, 501, 2, 133, 5, 6, 1, 2, 71, 73, 2, 2, 2, 81, 2, 5, 5, 1, 1, 2,
};

std::int32_t readInt32(const std::uint8_t* p) {
    std::uint32_t v = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                      static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    return static_cast<std::int32_t>(v);
}

float readFloat32(const std::uint8_t* p) {
    std::uint32_t bits = static_cast<std::uint32_t>(readInt32(p));
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

double readFloat64(const std::uint8_t* p) {
    std::uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = bits << 8 | p[i];
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

void writeInt32(std::uint8_t* p, std::int32_t v) {
    std::uint32_t u = static_cast<std::uint32_t>(v);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(u >> (8 * i));
}

std::size_t fieldTextLength(const std::uint8_t* field, std::size_t fieldSize) {
    std::size_t n = 0;
    while (n < fieldSize && field[n] != 0) ++n;
    return n;
}

namespace {

void writeFloat32(std::uint8_t* p, float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    writeInt32(p, static_cast<std::int32_t>(bits));
}

void putText(std::uint8_t* field, std::size_t fieldSize, const char* text) {
    std::memset(field, 0, fieldSize);
    std::size_t n = fieldTextLength(reinterpret_cast<const std::uint8_t*>(text), fieldSize);
    std::memcpy(field, text, n);
}

}  // namespace

void buildHelloReply(std::uint8_t playerId, std::uint8_t status, const char* name, std::uint8_t* out) {
    out[0] = kHelloReply;
    writeFloat32(out + 1, kProtocolVersion);
    putText(out + 5, kNameFieldSize, name);
    out[69] = playerId;
    out[70] = status;
}

void buildChatText(const char* text, std::uint8_t* out) {
    out[0] = kChatText;
    putText(out + 1, kChatTextSize, text);
}

void buildPlayerInfo(std::uint8_t playerId, std::uint8_t gatedFlag, const char* name, std::uint8_t songFlag,
                     std::uint8_t isHost, std::int32_t playerValue, std::uint8_t* out) {
    out[0] = kPlayerInfo;
    putText(out + 1, kNameFieldSize, name);
    out[65] = playerId;
    out[66] = gatedFlag;
    out[67] = songFlag;
    out[68] = isHost;
    writeInt32(out + 69, playerValue);
}

void buildSongSelected(std::int32_t songId, std::int32_t songArg1, const char* songName, std::int32_t songArg2,
                       std::uint8_t* out) {
    out[0] = kSongSelected;
    writeInt32(out + kSongId, songId);
    putText(out + kSongName, kNameFieldSize, songName);
    writeInt32(out + kSongArg1, songArg1);
    writeInt32(out + kSongArg2, songArg2);
    writeInt32(out + kSongArg3, 0);
}
