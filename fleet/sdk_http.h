// The orchestrator's SDK server is a plain HTTP/1.1 server on loopback: one
// request per connection, each ended by a time limit, so that a sidecar that
// accepts and never answers costs the caller no more than that limit.
#pragma once

#include <cstddef>
#include <cstdint>

// What one request brought back: the status (-1 when no answer came: refused,
// timed out, not HTTP) and the body, without a chunked encoding, cut to the
// caller's area and ended with a zero.
struct SdkAnswer {
    int status;
    std::size_t bodyLen;
};

// Sends METHOD path with the body "{}" to 127.0.0.1:port and reads the answer
// into body (bodySize bytes at most, its zero included). Everything, connect
// to last byte, ends within limitMs.
SdkAnswer sdkRequest(std::uint16_t port, const char* method, const char* path, int limitMs, char* body,
                     std::size_t bodySize);

// Whether a status tells that the SDK took the request.
inline bool sdkTook(const SdkAnswer& answer) { return answer.status >= 200 && answer.status < 300; }

// Takes a chunked body apart in place: the chunks' data, joined; returns its
// length. What does not parse as a chunk ends it (a cut answer).
std::size_t unchunk(char* body, std::size_t len);
