// The game protocol as a client sees it: each packet travels as a frame (a
// lead byte, the id byte, the payload), its length fixed by the id; integers
// and floats little-endian, text fields fixed-width and zero-filled. Written
// from the protocol, not from the server's own tables, so that a fault there
// shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace driver {

using Bytes = std::vector<std::uint8_t>;

namespace pkt {

// The ids the benchmarks name; the tests spell out the numbers.
enum Id : std::uint8_t { kStreamRelay0 = 0, kRelay6 = 6, kHelloReply = 10, kPlayerLeft = 12, kStreamOptIn = 21 };

inline constexpr std::uint16_t kLengths[22] = {29, 29, 2, 501, 2,  133, 5, 6, 1, 2, 71,
                                               73, 2,  2, 2,   81, 2,   5, 5, 1, 1, 2};
// Lead byte plus packet; 0 for ids without a length.
std::size_t frameLength(std::uint8_t id);

Bytes text(const std::string& s, std::size_t width);
Bytes i32(std::int32_t v);
std::int32_t readI32(const std::uint8_t* p);
// A frame: lead byte, id, payload zero-filled to the id's length.
Bytes frame(std::uint8_t id, const Bytes& payload = {}, std::uint8_t lead = 0);
Bytes cat(std::initializer_list<Bytes> parts);

Bytes hello(const std::string& name, const std::string& password = "", float version = 0.9f);
Bytes chat(const std::string& text, std::uint8_t lead = 0);
Bytes songSelected(std::int32_t songId, const std::string& name, std::int32_t arg1, std::int32_t arg2,
                   std::int32_t arg3, std::uint8_t lead = 0);
Bytes scoreReport(double score, std::int32_t numerator, std::int32_t denominator, std::uint8_t lead = 0);
Bytes helloReply(std::uint8_t id, std::uint8_t status, const std::string& name);
Bytes playerInfo(std::uint8_t id, const std::string& name, std::uint8_t gated, std::uint8_t songFlag,
                 std::uint8_t isHost, std::int32_t value);
Bytes hostAssigned(std::uint8_t id);
Bytes playerLeft(std::uint8_t id);
Bytes lobbyValue(std::int32_t value);
Bytes byteValue(std::uint8_t id, std::uint8_t value, std::uint8_t lead = 0);

// A Relay6 frame numbered n, its lead byte telling the sender; and the
// number back. Streams of these show frames lost, repeated or out of order.
Bytes numbered(std::uint8_t sender, std::uint32_t n);
std::uint32_t numberOf(const std::uint8_t* frame);
inline std::uint32_t numberOf(const Bytes& frame) { return numberOf(frame.data()); }

// A HelloReply's status: 0 lets the player in.
inline std::uint8_t loginStatus(const std::uint8_t* helloReply) { return helloReply[71]; }

std::string hex(const Bytes& b);

}  // namespace pkt
}  // namespace driver
