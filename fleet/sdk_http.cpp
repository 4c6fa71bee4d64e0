#include "fleet/sdk_http.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock/clock.h"
#include "platform/network/socket.h"

namespace {

// What is left of the request's time; 0 once it has run out.
int leftMs(long long deadline) {
    long long left = deadline - monotonicMs();
    return left <= 0 ? 0 : static_cast<int>(left);
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameWord(const char* a, const char* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// The value of a header, its name in any case, or nullptr.
const char* headerValue(const char* head, std::size_t headLen, const char* name) {
    std::size_t n = std::strlen(name);
    for (std::size_t at = 0; at + n + 2 <= headLen; ++at) {
        if ((at == 0 || head[at - 1] == '\n') && sameWord(head + at, name, n) && head[at + n] == ':')
            return head + at + n + 1;
    }
    return nullptr;
}

// Receives until the peer closes, the declared length is in, the area is
// full or the time runs out. Returns the bytes held, or -1 on a failure
// before any answer came.
long long receiveAnswer(Socket s, char* area, std::size_t size, long long deadline) {
    std::size_t held = 0;
    while (held + 1 < size) {
        int ms = leftMs(deadline);
        if (ms <= 0 || netSetIoTimeout(s, ms) != 0) break;
        int n = netRecv(s, area + held, size - 1 - held);
        if (n <= 0) {
            if (n < 0 && held == 0) return -1;
            break;
        }
        held += static_cast<std::size_t>(n);
        area[held] = 0;
        const char* end = std::strstr(area, "\r\n\r\n");
        if (end == nullptr) continue;
        std::size_t headLen = static_cast<std::size_t>(end - area) + 4;
        const char* length = headerValue(area, headLen, "Content-Length");
        if (length != nullptr && held >= headLen + std::strtoul(length, nullptr, 10)) break;
    }
    area[held] = 0;
    return static_cast<long long>(held);
}

}  // namespace

std::size_t unchunk(char* body, std::size_t len) {
    std::size_t in = 0;
    std::size_t out = 0;
    while (in < len) {
        char* sizeEnd = nullptr;
        unsigned long size = std::strtoul(body + in, &sizeEnd, 16);
        const char* lineEnd = std::strstr(body + in, "\r\n");
        if (sizeEnd == body + in || lineEnd == nullptr || size == 0) break;
        std::size_t data = static_cast<std::size_t>(lineEnd - body) + 2;
        if (data > len) break;
        std::size_t take = size < len - data ? size : len - data;
        std::memmove(body + out, body + data, take);
        out += take;
        in = data + take + 2;
        if (take < size) break;
    }
    body[out] = 0;
    return out;
}

SdkAnswer sdkRequest(std::uint16_t port, const char* method, const char* path, int limitMs, char* body,
                     std::size_t bodySize) {
    SdkAnswer answer{-1, 0};
    if (bodySize == 0) return answer;
    body[0] = 0;
    char request[512];
    int len = std::snprintf(request, sizeof request,
                            "%s %s HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
                            "Content-Length: 2\r\nConnection: close\r\n\r\n{}",
                            method, path);
    if (len < 0 || static_cast<std::size_t>(len) >= sizeof request) return answer;
    long long deadline = monotonicMs() + limitMs;
    netStartup();
    Socket s = netTcpSocket();
    if (s != kInvalidSocket) {
        const Ipv4Address loopback{{127, 0, 0, 1}};
        bool sent = netConnect(s, loopback, port, limitMs) == 0 && leftMs(deadline) > 0 &&
                    netSetIoTimeout(s, leftMs(deadline)) == 0 && netSend(s, request, static_cast<std::size_t>(len)) == len;
        long long held = sent ? receiveAnswer(s, body, bodySize, deadline) : -1;
        netClose(s);
        int status = 0;
        if (held > 0 && std::sscanf(body, "HTTP/1.%*d %d", &status) == 1) {
            answer.status = status;
            char* start = std::strstr(body, "\r\n\r\n");
            std::size_t headLen = start ? static_cast<std::size_t>(start - body) + 4 : static_cast<std::size_t>(held);
            const char* coding = headerValue(body, headLen, "Transfer-Encoding");
            const char* codingEnd = coding != nullptr ? std::strstr(coding, "\r\n") : nullptr;
            const char* named = coding != nullptr ? std::strstr(coding, "chunked") : nullptr;
            bool chunked = named != nullptr && (codingEnd == nullptr || named < codingEnd);
            std::size_t rest = static_cast<std::size_t>(held) - headLen;
            std::memmove(body, body + headLen, rest);
            body[rest] = 0;
            answer.bodyLen = chunked ? unchunk(body, rest) : rest;
        } else {
            body[0] = 0;
        }
    }
    netCleanup();
    return answer;
}
