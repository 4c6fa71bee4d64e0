// The endpoint's request head parser and its address, at the corners the
// end-to-end tests cannot place exactly: the size limit to the byte, the
// line ends, names cut to their fields.
#include <gtest/gtest.h>

#include <string>

#include "monitoring/http_address.h"
#include "monitoring/http_request.h"

namespace {

HttpHead parse(const std::string& head, HttpRequest& r) { return parseHttpHead(head.data(), head.size(), r); }
HttpHead parse(const std::string& head) {
    HttpRequest r;
    return parse(head, r);
}

TEST(HttpHead, MethodAndPathOfEachTargetForm) {
    struct Case {
        std::string head, method, path;
    };
    const Case cases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "GET", "/metrics"},
        {"HEAD /livez?verbose=1#top HTTP/1.0\n\n", "HEAD", "/livez"},
        {"GET http://127.0.0.1:9150/readyz?x HTTP/1.1\r\n\r\n", "GET", "/readyz"},
        {"GET HTTPS://host HTTP/1.1\r\n\r\n", "GET", "/"},
        {"OPTIONS * HTTP/1.1\r\n\r\n", "OPTIONS", "*"},
        {"GET / HTTP/1.1\r\nX-Empty:\r\nX-Tab:\tvalue\r\n\r\n", "GET", "/"},
        // Too long for their fields: cut, and so never one the endpoint serves.
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ /" + std::string(300, 'p') + " HTTP/1.1\r\n\r\n", "ABCDEFGHIJKLMNO",
         "/" + std::string(254, 'p')},
    };
    for (const auto& c : cases) {
        HttpRequest r;
        ASSERT_EQ(parse(c.head, r), HttpHead::Complete) << c.head;
        EXPECT_EQ(std::string(r.method), c.method);
        EXPECT_EQ(std::string(r.path), c.path);
    }
}

TEST(HttpHead, IncompleteUntilTheEmptyLineAndBadAsSoonAsALineIsWrong) {
    for (const char* part : {"", "G", "GET /metrics HTTP/1.1", "GET /metrics HTTP/1.1\r\n",
                             "GET / HTTP/1.1\r\nHost: x\r", "GET / HTTP/1.1\r\nHost: x\r\n"})
        EXPECT_EQ(parse(part), HttpHead::Incomplete) << part;
    for (const char* bad :
         {"\r\n", "GET\r\n", "GET /\r\n", "GET  / HTTP/1.1\r\n", "GET / HTTP/1.1 \r\n", "GET / http/1.1\r\n",
          "GET / HTTP/1.12\r\n", "GET / HTTP/2.0\r\n", "G(T / HTTP/1.1\r\n", "GET metrics HTTP/1.1\r\n",
          "GET http:///x HTTP/1.1\r\n", "GET /a\rb HTTP/1.1\r\n", "GET /\x7f HTTP/1.1\r\n",
          // header lines: each judged once it has ended, before the head has
          "GET / HTTP/1.1\r\nno colon\r\n", "GET / HTTP/1.1\r\n folded: x\r\n", "GET / HTTP/1.1\r\nName : x\r\n",
          "GET / HTTP/1.1\r\n: x\r\n", "GET / HTTP/1.1\r\nA: b\rc\r\n", "GET / HTTP/1.1\r\nA: \x01\r\n"})
        EXPECT_EQ(parse(bad), HttpHead::Bad) << bad;
}

TEST(HttpHead, AHeadOfTheLimitFitsAndOneByteMoreDoesNot) {
    const std::string start = "GET / HTTP/1.1\r\nX: ";
    std::string fits = start + std::string(kMaxRequestHead - start.size() - 4, 'a') + "\r\n\r\n";
    ASSERT_EQ(fits.size(), kMaxRequestHead);
    EXPECT_EQ(parse(fits), HttpHead::Complete);
    std::string over = start + std::string(kMaxRequestHead - start.size() - 3, 'a') + "\r\n\r\n";
    EXPECT_EQ(parse(over), HttpHead::TooLarge);
    // Until a byte beyond the limit has come, a head may still end in time.
    EXPECT_EQ(parse(over.substr(0, kMaxRequestHead)), HttpHead::Incomplete);
    // A request line alone that long.
    EXPECT_EQ(parse("GET /" + std::string(kMaxRequestHead, 'p')), HttpHead::TooLarge);
}

TEST(HttpAddress, HostsAndPorts) {
    struct Case {
        const char* text;
        bool valid;
        Ipv4Address host;
        int port;
    };
    const Case cases[] = {
        {"127.0.0.1:9150", true, {{127, 0, 0, 1}}, 9150},
        {"0.0.0.0:0", true, {{0, 0, 0, 0}}, 0},
        {"localhost:65535", true, {{127, 0, 0, 1}}, 65535},
        {"255.255.255.255:1", true, {{255, 255, 255, 255}}, 1},
        {"127.0.0.1", false, {}, 0},
        {"127.0.0.1:", false, {}, 0},
        {":80", false, {}, 0},
        {"127.0.0:80", false, {}, 0},
        {"127.0.0.1.1:80", false, {}, 0},
        {"127.0.0.256:80", false, {}, 0},
        {"127..0.1:80", false, {}, 0},
        {"127.0.0.1:65536", false, {}, 0},
        {"127.0.0.1:-1", false, {}, 0},
        {"Localhost:80", false, {}, 0},
        {"example.org:80", false, {}, 0},
        {"[::1]:80", false, {}, 0},
        {"127.0.0.1:80 ", false, {}, 0},
    };
    for (const auto& c : cases) {
        Ipv4Address host{};
        std::uint16_t port = 7;
        ASSERT_EQ(parseHttpAddress(c.text, host, port), c.valid) << c.text;
        if (!c.valid) continue;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(host.bytes), 4),
                  std::string(reinterpret_cast<const char*>(c.host.bytes), 4))
            << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
}

}  // namespace
