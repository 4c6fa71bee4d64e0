// The packet catalogue: ids, lengths and the packets the server builds.
//
// Every packet travels as a frame: one lead byte, the id byte, the payload.
// The id alone fixes the length. Integers and floats are little-endian and
// packed; text fields are fixed-width and zero-filled.
#pragma once

#include <cstddef>
#include <cstdint>

enum PacketId : std::uint8_t {
    kStreamRelay0 = 0,
    kScoreReport = 1,
    kStreamRelay2 = 2,
    kChatText = 3,
    kRelay4 = 4,
    kHello = 5,
    kRelay6 = 6,
    kRelay7 = 7,
    kRelay8 = 8,
    kStreamRelay9 = 9,
    kHelloReply = 10,
    kPlayerInfo = 11,
    kPlayerLeft = 12,
    kSetGatedFlag = 13,
    kHostAssigned = 14,
    kSongSelected = 15,
    kSetSongFlag = 16,
    kSetPlayerValue = 17,
    kLobbyValue = 18,
    kStartCancel = 19,
    kStartVote = 20,
    kStreamOptIn = 21,
};

// The protocol version, 0.9 as a 32-bit float (bytes 66 66 66 3F).
inline constexpr float kProtocolVersion = 0.9f;

inline constexpr int kPacketIdCount = 22;
// Length of each packet, id byte included (the frame adds the lead byte).
extern const std::uint32_t PacketLengthTable[kPacketIdCount];

// Length of a frame of a known id (below kPacketIdCount): lead byte and packet.
inline std::uint32_t frameLength(std::uint8_t id) { return 1 + PacketLengthTable[id]; }

inline constexpr std::size_t kHelloReplyLength = 71;
inline constexpr std::size_t kChatTextLength = 501;
inline constexpr std::size_t kChatTextSize = 500;
inline constexpr std::size_t kPlayerInfoLength = 73;
inline constexpr std::size_t kSongSelectedLength = 81;
inline constexpr std::size_t kNameFieldSize = 64;

// Offsets inside packets, counted from the id byte.
inline constexpr std::size_t kHelloVersion = 1;
inline constexpr std::size_t kHelloName = 5;
inline constexpr std::size_t kHelloPassword = 69;
inline constexpr std::size_t kScoreValue = 13;
inline constexpr std::size_t kScoreAccuracyNumerator = 21;
inline constexpr std::size_t kScoreAccuracyDenominator = 25;
inline constexpr std::size_t kSongId = 1;
inline constexpr std::size_t kSongName = 5;
inline constexpr std::size_t kSongArg1 = 69;
inline constexpr std::size_t kSongArg2 = 73;
inline constexpr std::size_t kSongArg3 = 77;

// HelloReply status.
inline constexpr std::uint8_t kStatusAccepted = 0;
inline constexpr std::uint8_t kStatusVersionDiffers = 1;
inline constexpr std::uint8_t kStatusWrongPassword = 2;
inline constexpr std::uint8_t kStatusServerFull = 3;

std::int32_t readInt32(const std::uint8_t* p);
float readFloat32(const std::uint8_t* p);
double readFloat64(const std::uint8_t* p);
void writeInt32(std::uint8_t* p, std::int32_t v);
// Length of a text field's text: up to its first zero or the field's end.
std::size_t fieldTextLength(const std::uint8_t* field, std::size_t fieldSize);

void buildHelloReply(std::uint8_t playerId, std::uint8_t status, const char* name, std::uint8_t* out);
void buildChatText(const char* text, std::uint8_t* out);
void buildPlayerInfo(std::uint8_t playerId, std::uint8_t gatedFlag, const char* name, std::uint8_t songFlag,
                     std::uint8_t isHost, std::int32_t playerValue, std::uint8_t* out);
void buildSongSelected(std::int32_t songId, std::int32_t songArg1, const char* songName, std::int32_t songArg2,
                       std::uint8_t* out);
