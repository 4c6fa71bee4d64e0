#include "fleet/gameserver_port.h"

#include <cstring>

namespace {

struct Span {
    const char* at;
    const char* end;
};

void skipBlanks(Span& s) {
    while (s.at < s.end && (*s.at == ' ' || *s.at == '\t' || *s.at == '\r' || *s.at == '\n')) ++s.at;
}

// Moves past the next "key": in s; false when there is none.
bool passKey(Span& s, const char* key) {
    std::size_t n = std::strlen(key);
    for (const char* p = s.at; p + n + 2 <= s.end; ++p) {
        if (p[0] != '"' || std::memcmp(p + 1, key, n) != 0 || p[n + 1] != '"') continue;
        Span after{p + n + 2, s.end};
        skipBlanks(after);
        if (after.at < after.end && *after.at == ':') {
            s.at = after.at + 1;
            skipBlanks(s);
            return true;
        }
    }
    return false;
}

// The number s starts with, or -1.
std::int32_t numberAt(Span s) {
    std::int32_t value = -1;
    for (const char* p = s.at; p < s.end && *p >= '0' && *p <= '9' && value < 100000; ++p)
        value = (value < 0 ? 0 : value * 10) + (*p - '0');
    return value >= 1 && value <= 65535 ? value : -1;
}

// The end of the object or array s starts in, strings skipped.
const char* closing(Span s, char open, char close) {
    int depth = 0;
    bool inString = false;
    for (const char* p = s.at; p < s.end; ++p) {
        if (inString) {
            if (*p == '\\') ++p;
            else if (*p == '"') inString = false;
        } else if (*p == '"') {
            inString = true;
        } else if (*p == open) {
            ++depth;
        } else if (*p == close && --depth == 0) {
            return p;
        }
    }
    return s.end;
}

}  // namespace

std::int32_t publicPortIn(const char* json, std::size_t len) {
    Span s{json, json + len};
    if (!passKey(s, "status") || !passKey(s, "ports") || s.at >= s.end || *s.at != '[') return -1;
    Span ports{s.at, closing(s, '[', ']')};
    std::int32_t first = -1;
    while (ports.at < ports.end) {
        const char* open = static_cast<const char*>(std::memchr(ports.at, '{', static_cast<std::size_t>(ports.end - ports.at)));
        if (open == nullptr) break;
        Span entry{open, closing(Span{open, ports.end}, '{', '}')};
        Span name = entry;
        Span port = entry;
        std::int32_t value = passKey(port, "port") ? numberAt(port) : -1;
        bool isDefault = passKey(name, "name") && name.end - name.at >= 9 && std::memcmp(name.at, "\"default\"", 9) == 0;
        if (value > 0 && isDefault) return value;
        if (first < 0) first = value;
        ports.at = entry.end;
    }
    return first;
}
