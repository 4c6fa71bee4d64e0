#include "monitoring/http_request.h"

#include <cstring>

namespace {

// The characters of a token (a method, a header's name).
bool isTokenChar(unsigned char c) {
    if (c >= '0' && c <= '9') return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
    return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// Where the line starting at `from` ends (the index of its LF), or len.
std::size_t lineEnd(const char* data, std::size_t from, std::size_t len) {
    const void* lf = std::memchr(data + from, '\n', len - from);
    return lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - data) : len;
}

// The line's text without its line end: a CR before the LF is part of the
// line end, a CR anywhere else is not allowed.
bool lineText(const char* data, std::size_t from, std::size_t lf, std::size_t& textEnd) {
    textEnd = lf > from && data[lf - 1] == '\r' ? lf - 1 : lf;
    return std::memchr(data + from, '\r', textEnd - from) == nullptr;
}

void copyCut(char* field, std::size_t size, const char* text, std::size_t n) {
    if (n >= size) n = size - 1;
    std::memcpy(field, text, n);
    field[n] = 0;
}

bool startsWithNoCase(const char* text, std::size_t n, const char* prefix) {
    std::size_t p = std::strlen(prefix);
    if (n < p) return false;
    for (std::size_t i = 0; i < p; ++i)
        if ((text[i] | 0x20) != prefix[i]) return false;
    return true;
}

// "METHOD SP target SP HTTP/1.x", each part checked, into request.
bool parseRequestLine(const char* line, std::size_t n, HttpRequest& request) {
    std::size_t m = 0;
    while (m < n && isTokenChar(static_cast<unsigned char>(line[m]))) ++m;
    if (m == 0 || m >= n || line[m] != ' ') return false;
    std::size_t t = m + 1;
    std::size_t te = t;
    while (te<n&& static_cast<unsigned char>(line[te])> ' ' && line[te] != 0x7F) ++te;
    if (te == t || te >= n || line[te] != ' ') return false;
    const char* version = line + te + 1;
    std::size_t vn = n - te - 1;
    if (vn != 8 || std::memcmp(version, "HTTP/1.", 7) != 0 || version[7] < '0' || version[7] > '9') return false;

    const char* target = line + t;
    std::size_t tn = te - t;
    if (tn == 1 && target[0] == '*') {
        copyCut(request.path, sizeof request.path, "*", 1);
    } else if (target[0] == '/') {
        std::size_t pn = 0;
        while (pn < tn && target[pn] != '?' && target[pn] != '#') ++pn;
        copyCut(request.path, sizeof request.path, target, pn);
    } else {
        // The absolute form a proxy sends: the path is what follows the
        // authority, "/" where nothing does.
        std::size_t skip = startsWithNoCase(target, tn, "http://")    ? 7
                           : startsWithNoCase(target, tn, "https://") ? 8
                                                                      : 0;
        if (skip == 0) return false;
        std::size_t at = skip;
        while (at < tn && target[at] != '/' && target[at] != '?' && target[at] != '#') ++at;
        if (at == skip) return false;
        std::size_t pn = at;
        while (pn < tn && target[pn] != '?' && target[pn] != '#') ++pn;
        if (pn == at)
            copyCut(request.path, sizeof request.path, "/", 1);
        else
            copyCut(request.path, sizeof request.path, target + at, pn - at);
    }
    copyCut(request.method, sizeof request.method, line, m);
    return true;
}

// "name: value": a token, the colon right after it, then no control
// character but tabs. A line that begins with a blank (an old folded
// continuation) is refused like any other malformed line.
bool headerLineValid(const char* line, std::size_t n) {
    std::size_t k = 0;
    while (k < n && isTokenChar(static_cast<unsigned char>(line[k]))) ++k;
    if (k == 0 || k >= n || line[k] != ':') return false;
    for (std::size_t i = k + 1; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if ((c < ' ' && c != '\t') || c == 0x7F) return false;
    }
    return true;
}

}  // namespace

HttpHead parseHttpHead(const char* data, std::size_t len, HttpRequest& request) {
    // Only the head's allowance is looked at: what lies beyond cannot make a
    // head that fits.
    std::size_t seen = len < kMaxRequestHead ? len : kMaxRequestHead;
    std::size_t lf = lineEnd(data, 0, seen);
    if (lf == seen) return len > kMaxRequestHead ? HttpHead::TooLarge : HttpHead::Incomplete;
    std::size_t textEnd;
    if (!lineText(data, 0, lf, textEnd) || !parseRequestLine(data, textEnd, request)) return HttpHead::Bad;

    for (std::size_t at = lf + 1;;) {
        std::size_t end = lineEnd(data, at, seen);
        if (end == seen) return len > kMaxRequestHead ? HttpHead::TooLarge : HttpHead::Incomplete;
        if (!lineText(data, at, end, textEnd)) return HttpHead::Bad;
        if (textEnd == at) return HttpHead::Complete;
        if (!headerLineValid(data + at, textEnd - at)) return HttpHead::Bad;
        at = end + 1;
    }
}
