#include "monitoring/http_address.h"

#include <cstdio>
#include <cstring>

#include "fleet/fleet_settings.h"

namespace {

// A decimal part from text to end, of at most 5 digits, up to highest.
bool part(const char* text, const char* end, std::int64_t highest, std::int64_t& value) {
    char digits[6];
    std::size_t n = static_cast<std::size_t>(end - text);
    if (n == 0 || n >= sizeof digits) return false;
    std::memcpy(digits, text, n);
    digits[n] = 0;
    value = wholeNumberIn(digits, 0, highest);
    return value >= 0;
}

}  // namespace

bool parseHttpAddress(const char* text, Ipv4Address& host, std::uint16_t& port) {
    const char* colon = std::strrchr(text, ':');
    if (colon == nullptr) return false;
    std::int64_t value = 0;
    if (!part(colon + 1, colon + 1 + std::strlen(colon + 1), 65535, value)) return false;
    port = static_cast<std::uint16_t>(value);

    static const char kLocalhost[] = "localhost";
    if (static_cast<std::size_t>(colon - text) == sizeof kLocalhost - 1 &&
        std::memcmp(text, kLocalhost, sizeof kLocalhost - 1) == 0) {
        host = Ipv4Address{{127, 0, 0, 1}};
        return true;
    }
    const char* at = text;
    for (int i = 0; i < 4; ++i) {
        const char* end = at;
        while (end < colon && *end != '.') ++end;
        if (!part(at, end, 255, value)) return false;
        host.bytes[i] = static_cast<std::uint8_t>(value);
        if (i < 3 && (end == colon)) return false;
        at = end + 1;
    }
    return at == colon + 1;
}

void formatIpv4(const Ipv4Address& host, char* text) {
    std::snprintf(text, 16, "%u.%u.%u.%u", host.bytes[0], host.bytes[1], host.bytes[2], host.bytes[3]);
}
