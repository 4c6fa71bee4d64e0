// The head of an HTTP/1.x request, as the health and metrics endpoint reads
// it: the request line and the header lines up to the empty line. Only the
// method and the path are kept; the endpoint answers every request the same
// way whatever its headers say, and closes after one answer.
#pragma once

#include <cstddef>

// A head longer than this is refused (431) without being read further.
inline constexpr std::size_t kMaxRequestHead = 8192;

enum class HttpHead { Incomplete, Complete, TooLarge, Bad };

// A method or path too long for its field is cut short: no cut name can
// equal one the endpoint serves, as those are all shorter.
struct HttpRequest {
    char method[16];
    char path[256];  // without the query and fragment; "*" for an asterisk-form target
};

// What the bytes received so far (from the first) make of a request. A
// request line that is already complete is judged at once, so a peer that
// speaks no HTTP is answered without waiting for the rest. Request has the
// method and path only where the result is Complete.
HttpHead parseHttpHead(const char* data, std::size_t len, HttpRequest& request);
