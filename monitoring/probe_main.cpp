// gameserver-probe [PATH]: asks the running server's health endpoint, at
// GAMESERVER_HTTP_ADDRESS, for PATH (/livez unless given) and exits 0 on an
// answer from 200 to 399, 1 otherwise with the reason on standard error. For
// a container image's health check, which has no shell or HTTP client to
// call on.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "monitoring/http_address.h"
#include "platform/clock/clock.h"
#include "platform/network/error_text.h"
#include "platform/network/socket.h"

namespace {

// The whole exchange, from the connect to the status line.
constexpr long long kProbeLimitMs = 3000;

int fail(const char* what, const char* detail = "", const char* after = "") {
    std::fprintf(stderr, "gameserver-probe: %s%s%s\n", what, detail, after);
    return 1;
}

int leftMs(long long endMs) {
    long long left = endMs - monotonicMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "/livez";
    if (path[0] != '/' || std::strlen(path) > 1024 || std::strpbrk(path, " \r\n") != nullptr)
        return fail("\"", path, "\" is no path (one starting with /, without blanks)");
    const char* address = std::getenv("GAMESERVER_HTTP_ADDRESS");
    if (address == nullptr || address[0] == 0) return fail("GAMESERVER_HTTP_ADDRESS is not set");
    Ipv4Address host{};
    std::uint16_t port = 0;
    if (!parseHttpAddress(address, host, port) || port == 0)
        return fail("GAMESERVER_HTTP_ADDRESS \"", address, "\" is not host:port (an IPv4 address or localhost)");
    // Every local address includes loopback, where the server can be reached.
    if (host.bytes[0] == 0 && host.bytes[1] == 0 && host.bytes[2] == 0 && host.bytes[3] == 0)
        host = Ipv4Address{{127, 0, 0, 1}};

    long long end = monotonicMs() + kProbeLimitMs;
    if (netStartup() != 0) return fail("the socket library did not start");
    Socket s = netTcpSocket();
    if (s == kInvalidSocket || netConnect(s, host, port, leftMs(end)) != 0)
        return fail("cannot connect to ", address, socketErrorMessage(0, ""));

    char request[1200];
    int n = std::snprintf(request, sizeof request, "GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n", path,
                          address);
    for (int sent = 0; sent < n;) {
        netSetIoTimeout(s, leftMs(end) + 1);
        int k = netSend(s, request + sent, static_cast<std::size_t>(n - sent));
        if (k <= 0) return fail(socketErrorMessage(0, "sending the request failed"));
        sent += k;
    }
    char answer[64];
    std::size_t got = 0;
    while (got < sizeof answer - 1 && std::memchr(answer, '\n', got) == nullptr) {
        if (leftMs(end) == 0) return fail("no answer within 3 s");
        netSetIoTimeout(s, leftMs(end) + 1);
        int k = netRecv(s, answer + got, sizeof answer - 1 - got);
        if (k < 0) return fail(socketErrorMessage(0, "no answer"));
        if (k == 0) break;
        got += static_cast<std::size_t>(k);
    }
    answer[got] = 0;
    netClose(s);
    int status = 0;
    if (std::sscanf(answer, "HTTP/1.%*1[0-9] %3d", &status) != 1) return fail("the answer is no HTTP status line");
    if (status < 200 || status > 399) {
        char* lineEnd = std::strpbrk(answer, "\r\n");
        if (lineEnd != nullptr) *lineEnd = 0;
        return fail("answered ", answer);
    }
    return 0;
}
