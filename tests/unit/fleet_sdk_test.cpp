#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "fake_list_server.h"
#include "fleet/gameserver_port.h"
#include "fleet/sdk_http.h"

namespace {

std::int32_t portIn(const std::string& json) { return publicPortIn(json.data(), json.size()); }

}  // namespace

TEST(GameServerPort, TheDefaultPortElseTheFirstWhereverTheRecordPutsIt) {
    EXPECT_EQ(portIn(R"({"status":{"ports":[{"name":"a","port":7000},{"name":"default","port":7777}]}})"), 7777);
    EXPECT_EQ(portIn(R"({"status":{"ports":[{"port":7001,"name":"a"},{"name":"b","port":7002}]}})"), 7001);
    // Laid out over lines, names after numbers, a key "ports" elsewhere first,
    // strings holding brackets.
    EXPECT_EQ(portIn("{\"object_meta\":{\"annotations\":{\"ports\":\"[{]}\"}},\n \"status\" : {\n"
                     "  \"ports\" : [ { \"port\" : 7003 , \"name\" : \"d}\" },\n"
                     "              { \"port\" : 7004, \"name\" : \"default\" } ] } }"),
              7004);
    // No status, no ports, no usable number.
    for (const char* none : {R"({"object_meta":{"name":"gs"}})", R"({"status":{"state":"Ready","ports":[]}})",
                             R"({"status":{"ports":[{"name":"default","port":0}]}})",
                             R"({"status":{"ports":[{"name":"default","port":123456}]}})", "", "{\"status\":{\"ports\":["})
        EXPECT_EQ(portIn(none), -1) << none;
}

TEST(SdkRequest, ReadsAChunkedAnswerAndGivesUpOnASilentSidecarInTime) {
    FakeListServer sidecar;
    ASSERT_TRUE(sidecar.ok());
    // The stand-in answers a GET of / with its page, here chunked and sent
    // in pieces that split the chunk lines.
    sidecar.setRootPage("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n6\r\n{\"a\":1\r\n3\r\n, }\r\n0\r\n\r\n", 7);
    char body[256];
    SdkAnswer answer = sdkRequest(static_cast<std::uint16_t>(sidecar.port()), "GET", "/", 2000, body, sizeof body);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(std::string(body, answer.bodyLen), "{\"a\":1, }");
    ASSERT_TRUE(sidecar.waitForRequests(1, 2000));
    // Its head; the stand-in may or may not have read the body "{}" with it.
    EXPECT_EQ(sidecar.requests()[0].rfind("GET / HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
                                          "Content-Length: 2\r\nConnection: close\r\n\r\n",
                                          0),
              0u);

    sidecar.setMode(FakeListServer::Mode::Silent);
    auto before = std::chrono::steady_clock::now();
    answer = sdkRequest(static_cast<std::uint16_t>(sidecar.port()), "POST", "/health", 300, body, sizeof body);
    EXPECT_EQ(answer.status, -1);
    EXPECT_FALSE(sdkTook(answer));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1500));
}
