#include "packets.h"

#include <algorithm>
#include <cstring>

namespace driver::pkt {

namespace {

Bytes f32(float v) {
    std::uint32_t u;
    std::memcpy(&u, &v, 4);
    return i32(static_cast<std::int32_t>(u));
}

Bytes f64(double v) {
    std::uint64_t u;
    std::memcpy(&u, &v, 8);
    Bytes b;
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
    return b;
}

}  // namespace

std::size_t frameLength(std::uint8_t id) { return id < 22 ? 1u + kLengths[id] : 0u; }

Bytes text(const std::string& s, std::size_t width) {
    Bytes b(width, 0);
    std::memcpy(b.data(), s.data(), std::min(width, s.size()));
    return b;
}

Bytes i32(std::int32_t v) {
    auto u = static_cast<std::uint32_t>(v);
    return {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u >> 16),
            static_cast<std::uint8_t>(u >> 24)};
}

std::int32_t readI32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24);
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes frame(std::uint8_t id, const Bytes& payload, std::uint8_t lead) {
    Bytes f{lead, id};
    f.insert(f.end(), payload.begin(), payload.end());
    if (f.size() < frameLength(id)) f.resize(frameLength(id), 0);
    return f;
}

Bytes hello(const std::string& name, const std::string& password, float version) {
    return frame(5, cat({f32(version), text(name, 64), text(password, 64)}));
}

Bytes chat(const std::string& s, std::uint8_t lead) { return frame(3, text(s, 500), lead); }

Bytes songSelected(std::int32_t songId, const std::string& name, std::int32_t arg1, std::int32_t arg2,
                   std::int32_t arg3, std::uint8_t lead) {
    return frame(15, cat({i32(songId), text(name, 64), i32(arg1), i32(arg2), i32(arg3)}), lead);
}

Bytes scoreReport(double score, std::int32_t numerator, std::int32_t denominator, std::uint8_t lead) {
    return frame(1, cat({Bytes(12, 0xAB), f64(score), i32(numerator), i32(denominator)}), lead);
}

Bytes helloReply(std::uint8_t id, std::uint8_t status, const std::string& name) {
    return frame(10, cat({f32(0.9f), text(name, 64), Bytes{id, status}}));
}

Bytes playerInfo(std::uint8_t id, const std::string& name, std::uint8_t gated, std::uint8_t songFlag,
                 std::uint8_t isHost, std::int32_t value) {
    return frame(11, cat({text(name, 64), Bytes{id, gated, songFlag, isHost}, i32(value)}));
}

Bytes hostAssigned(std::uint8_t id) { return frame(14, {id}); }
Bytes playerLeft(std::uint8_t id) { return frame(12, {id}); }
Bytes lobbyValue(std::int32_t value) { return frame(18, i32(value)); }
Bytes byteValue(std::uint8_t id, std::uint8_t value, std::uint8_t lead) { return frame(id, {value}, lead); }

Bytes numbered(std::uint8_t sender, std::uint32_t n) {
    return frame(kRelay6, i32(static_cast<std::int32_t>(n)), sender);
}

std::uint32_t numberOf(const std::uint8_t* frame) { return static_cast<std::uint32_t>(readI32(frame + 2)); }

std::string hex(const Bytes& b) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i) s += ' ';
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

}  // namespace driver::pkt
