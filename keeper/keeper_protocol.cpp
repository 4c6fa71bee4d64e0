#include "keeper/keeper_protocol.h"

#include <cstdlib>
#include <cstring>

namespace {

bool fill(MessageReader& r) {
    if (r.start > 0) {
        std::memmove(r.buf, r.buf + r.start, r.end - r.start);
        r.end -= r.start;
        r.start = 0;
    }
    if (r.end == sizeof r.buf) return false;
    long got = pipeRead(r.pipe, r.buf + r.end, sizeof r.buf - r.end);
    if (got <= 0) return false;
    r.end += static_cast<std::size_t>(got);
    return true;
}

bool wholeNumber(const char*& at, std::size_t max, std::size_t* value) {
    char* stop = nullptr;
    if (*at < '0' || *at > '9') return false;
    unsigned long long n = std::strtoull(at, &stop, 10);
    if (n > max) return false;
    *value = static_cast<std::size_t>(n);
    at = stop;
    return true;
}

}  // namespace

bool readMessage(MessageReader& reader, std::string& line) {
    for (;;) {
        const char* from = reader.buf + reader.start;
        const void* nl = std::memchr(from, '\n', reader.end - reader.start);
        if (nl) {
            std::size_t n = static_cast<const char*>(nl) - from;
            line.assign(from, n);
            reader.start += n + 1;
            return true;
        }
        if (reader.end - reader.start >= kMessageLineMax || !fill(reader)) return false;
    }
}

bool readMessageBytes(MessageReader& reader, void* to, std::size_t len) {
    char* at = static_cast<char*>(to);
    std::size_t buffered = reader.end - reader.start;
    std::size_t take = buffered < len ? buffered : len;
    std::memcpy(at, reader.buf + reader.start, take);
    reader.start += take;
    at += take;
    len -= take;
    while (len > 0) {
        long got = pipeRead(reader.pipe, at, len);
        if (got <= 0) return false;
        at += got;
        len -= static_cast<std::size_t>(got);
    }
    return true;
}

bool writeMessage(PipeEnd pipe, const std::string& line) {
    std::string whole = line + "\n";
    return pipeWrite(pipe, whole.data(), whole.size());
}

std::string messageWord(const std::string& line, std::string* rest) {
    std::size_t blank = line.find(' ');
    if (rest) *rest = blank == std::string::npos ? "" : line.substr(blank + 1);
    return line.substr(0, blank);
}

bool blockSizes(const std::string& rest, std::size_t maxLen, std::size_t maxCount, std::size_t* len,
                std::size_t* count) {
    const char* at = rest.c_str();
    if (!wholeNumber(at, maxLen, len) || *at++ != ' ' || !wholeNumber(at, maxCount, count)) return false;
    return *at == 0;
}
