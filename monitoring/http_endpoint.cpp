#include "monitoring/http_endpoint.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "monitoring/http_address.h"
#include "monitoring/http_request.h"
#include "monitoring/metrics.h"
#include "platform/clock/clock.h"
#include "platform/network/error_text.h"
#include "server/lifecycle.h"
#include "streams/output.h"

namespace {

// The waits of /livez: a loop that does not come round within this is stuck.
constexpr long long kLivenessWaitMs = 1000;
// After a failed accept (no descriptors left, say) the listener rests this long.
constexpr long long kAcceptRestMs = 100;
// Reads a peer may still send after its answer before the socket is closed anyway.
constexpr int kCloseReceives = 4;

// One connection: its request as it comes in, then its answer as it goes out.
struct HttpConnection {
    Socket sock;
    long long deadlineMs;
    bool answering;
    std::size_t received;
    char request[kMaxRequestHead + 1];  // one byte more than a head may have: enough to tell it is too large
    std::size_t answerLen;
    std::size_t answerSent;
    char answer[kMetricsPageBytes + 512];
};

// Made once and kept until the process ends: the thread may still run while
// the process exits.
struct HttpEndpoint {
    GameServer* server;
    Socket listener;
    long long listenerRestsUntilMs;
    HttpConnection connections[kHttpConnections];
    MetricsSnapshot snapshot;
    char page[kMetricsPageBytes];
};

const char* reasonOf(int status) {
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    default: return "Service Unavailable";
    }
}

// The status line and headers, then the body unless the request was HEAD.
void composeAnswer(HttpConnection& c, int status, const char* contentType, const char* body, std::size_t bodyLen,
                   bool withBody, bool allowHeader) {
    int n = std::snprintf(c.answer, sizeof c.answer,
                          "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n%sConnection: close\r\n\r\n",
                          status, reasonOf(status), contentType, bodyLen, allowHeader ? "Allow: GET, HEAD\r\n" : "");
    std::size_t len = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (withBody && len + bodyLen <= sizeof c.answer) {
        std::memcpy(c.answer + len, body, bodyLen);
        len += bodyLen;
    }
    c.answerLen = len;
    c.answerSent = 0;
    c.answering = true;
}

void answerText(HttpConnection& c, int status, const char* body, bool withBody, bool allowHeader = false) {
    composeAnswer(c, status, "text/plain; charset=utf-8", body, std::strlen(body), withBody, allowHeader);
}

// What a complete request gets.
void answerRequest(HttpEndpoint& e, HttpConnection& c, const HttpRequest& request) {
    bool get = std::strcmp(request.method, "GET") == 0;
    bool head = std::strcmp(request.method, "HEAD") == 0;
    bool metrics = std::strcmp(request.path, "/metrics") == 0;
    bool livez = std::strcmp(request.path, "/livez") == 0;
    bool readyz = std::strcmp(request.path, "/readyz") == 0;
    if (!metrics && !livez && !readyz) return answerText(c, 404, "not found\n", !head);
    if (!get && !head) return answerText(c, 405, "method not allowed\n", true, true);
    GameServer& server = *e.server;
    if (metrics) {
        takeMetricsSnapshot(server, monotonicMs(), e.snapshot);
        std::size_t len = renderMetrics(e.snapshot, e.page, sizeof e.page);
        if (len == 0) return answerText(c, 500, "metrics do not fit\n", get);
        return composeAnswer(c, 200, kMetricsContentType, e.page, len, get, false);
    }
    if (livez) {
        if (networkLoopRuns(server, kLivenessWaitMs)) return answerText(c, 200, "ok\n", get);
        return answerText(c, 503, "the network loop is stuck\n", get);
    }
    if (server.draining.load() != 0) return answerText(c, 503, "draining\n", get);
    if (server.listening.load() == 0) return answerText(c, 503, "not listening\n", get);
    answerText(c, 200, "ok\n", get);
}

// After an answer: the sending side is shut, and what the peer sent beyond
// the head is read away first, so that the close sends no reset that could
// cost the peer the answer. Quietly: a peer's bytes are no console matter.
void closeConnection(HttpConnection& c, bool orderly) {
    if (orderly) {
        netShutdownSend(c.sock);
        char scrap[1024];
        for (int i = 0; i < kCloseReceives && netRecv(c.sock, scrap, sizeof scrap) > 0; ++i) {
        }
    }
    netClose(c.sock);
    c.sock = kInvalidSocket;
}

void receive(HttpEndpoint& e, HttpConnection& c) {
    int n = netRecv(c.sock, c.request + c.received, sizeof c.request - c.received);
    if (n <= 0) {
        if (n == 0 || netLastError() != kErrWouldBlock) closeConnection(c, false);
        return;
    }
    c.received += static_cast<std::size_t>(n);
    HttpRequest request;
    switch (parseHttpHead(c.request, c.received, request)) {
    case HttpHead::Incomplete: return;
    case HttpHead::Complete: answerRequest(e, c, request); break;
    case HttpHead::TooLarge: answerText(c, 431, "request head too large\n", true); break;
    case HttpHead::Bad: answerText(c, 400, "bad request\n", true); break;
    }
    c.deadlineMs = monotonicMs() + kHttpRequestMs;
}

void sendAnswer(HttpConnection& c) {
    int n = netSend(c.sock, c.answer + c.answerSent, c.answerLen - c.answerSent);
    if (n < 0) {
        if (netLastError() != kErrWouldBlock) closeConnection(c, false);
        return;
    }
    c.answerSent += static_cast<std::size_t>(n);
    if (c.answerSent == c.answerLen) closeConnection(c, true);
}

void acceptOne(HttpEndpoint& e, long long now) {
    Socket s = netAccept(e.listener, nullptr);
    if (s == kInvalidSocket) {
        if (netLastError() != kErrWouldBlock) e.listenerRestsUntilMs = now + kAcceptRestMs;
        return;
    }
    for (auto& c : e.connections) {
        if (c.sock != kInvalidSocket) continue;
        netSetNonBlocking(s, true);
        c.sock = s;
        c.deadlineMs = now + kHttpRequestMs;
        c.answering = false;
        c.received = 0;
        return;
    }
    netClose(s);
}

void serve(HttpEndpoint& e) {
    SocketSet readSet;
    SocketSet writeSet;
    for (;;) {
        long long now = monotonicMs();
        if (e.listenerRestsUntilMs != 0 && now >= e.listenerRestsUntilMs) e.listenerRestsUntilMs = 0;
        socketSetClear(readSet);
        socketSetClear(writeSet);
        long long wait = e.listenerRestsUntilMs != 0 ? e.listenerRestsUntilMs - now : -1;
        if (e.listenerRestsUntilMs == 0) socketSetAdd(readSet, e.listener);
        for (auto& c : e.connections) {
            if (c.sock == kInvalidSocket) continue;
            if (now >= c.deadlineMs) {
                closeConnection(c, false);
                continue;
            }
            socketSetAdd(c.answering ? writeSet : readSet, c.sock);
            if (wait < 0 || c.deadlineMs - now < wait) wait = c.deadlineMs - now;
        }
        if (netSelect(0, &readSet, &writeSet, nullptr, wait, nullptr) < 0) {
            // Nothing in the sets can fail select but a handle gone bad: rest
            // and build them anew.
            std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptRestMs));
            continue;
        }
        now = monotonicMs();
        for (auto& c : e.connections) {
            if (c.sock == kInvalidSocket) continue;
            if (c.answering && socketSetHas(writeSet, c.sock))
                sendAnswer(c);
            else if (!c.answering && socketSetHas(readSet, c.sock))
                receive(e, c);
        }
        if (socketSetHas(readSet, e.listener)) acceptOne(e, now);
    }
}

void reportNoEndpoint(const char* why, const char* address, const char* detail) {
    Line line;
    lineStart(line);
    lineAdd(line, why);
    lineAdd(line, " \"");
    lineAddClientText(line, address, std::strlen(address));
    lineAdd(line, "\"");
    lineAdd(line, detail);
    lineAdd(line, ": no health and metrics endpoint.");
    lineWrite(line, Stream::Err);
}

}  // namespace

namespace {

bool listenOn(Ipv4Address host, std::uint16_t port, Socket& listener, int& code) {
    listener = netTcpSocket();
    if (listener != kInvalidSocket && netBind(listener, host, port) == 0 && netListen(listener) == 0 &&
        netSetNonBlocking(listener, true) == 0)
        return true;
    code = netLastError();
    if (listener != kInvalidSocket) netClose(listener);
    return false;
}

void serveOn(GameServer& server, Socket listener, Ipv4Address host) {
    auto* e = new HttpEndpoint;
    e->server = &server;
    e->listener = listener;
    e->listenerRestsUntilMs = 0;
    for (auto& c : e->connections) c.sock = kInvalidSocket;

    char ip[16];
    formatIpv4(host, ip);
    Line line;
    lineStart(line);
    lineAdd(line, "Health and metrics on http://");
    lineAdd(line, ip);
    lineAdd(line, ":");
    lineAddInt(line, netLocalPort(listener));
    lineAdd(line, "/");
    lineWrite(line, Stream::Out);
    std::thread([e] { serve(*e); }).detach();
}

constexpr int kErrAddressInUse = 10048;

}  // namespace

bool startHttpEndpoint(GameServer& server, const char* address, int inUseWaitMs) {
    Ipv4Address host{};
    std::uint16_t port = 0;
    if (!parseHttpAddress(address, host, port)) {
        reportNoEndpoint("GAMESERVER_HTTP_ADDRESS", address, " is not host:port (an IPv4 address or localhost)");
        return false;
    }
    if (netStartup() != 0) {
        reportNoEndpoint("The socket library did not start for", address, "");
        return false;
    }
    Socket listener = kInvalidSocket;
    int code = 0;
    if (listenOn(host, port, listener, code)) {
        serveOn(server, listener, host);
        return true;
    }
    if (code != kErrAddressInUse || inUseWaitMs <= 0) {
        reportNoEndpoint("Cannot listen on", address, socketErrorMessage(code, ""));
        return false;
    }
    // The server this one took over from ends in a moment, and with it its
    // hold on the address: tried again meanwhile, on a thread of its own.
    std::string given = address;
    std::thread([&server, host, port, given, inUseWaitMs] {
        long long end = monotonicMs() + inUseWaitMs;
        Socket again = kInvalidSocket;
        int failure = kErrAddressInUse;
        while (failure == kErrAddressInUse && monotonicMs() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (listenOn(host, port, again, failure)) return serveOn(server, again, host);
        }
        reportNoEndpoint("Cannot listen on", given.c_str(), socketErrorMessage(failure, ""));
    }).detach();
    return true;
}
