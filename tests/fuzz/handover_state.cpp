// The state an upgraded server hands over, as the program that takes over
// reads it: whatever the bytes, the reader keeps only what it can trust, and
// what it keeps reads back the same once written again.
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "upgrade/state_codec.h"

namespace {

void checkKept(const HandoverState& s, long long now) {
    FUZZ_CHECK(s.clientCount <= kMaxClientId);
    FUZZ_CHECK(s.problemCount >= 0 && s.problemCount <= kHandoverMaxProblems);
    FUZZ_CHECK(s.consoleLen <= kHandoverConsoleBytes && s.consoleSkipLine <= 1);
    FUZZ_CHECK(s.outputLen <= kOutputQueueBytes && outputRecordsValid(s.output, s.outputLen));
    FUZZ_CHECK(std::memchr(s.name, 0, sizeof s.name) && std::memchr(s.password, 0, sizeof s.password));
    FUZZ_CHECK(std::memchr(s.songName, 0, sizeof s.songName) && std::memchr(s.listHost, 0, sizeof s.listHost));
    bool ids[256] = {};
    bool hostKept = s.hostId == 0;
    for (std::uint32_t i = 0; i < s.clientCount; ++i) {
        const CarriedClient& c = s.clients[i];
        FUZZ_CHECK(c.id != 0 && !ids[c.id]);
        ids[c.id] = true;
        FUZZ_CHECK(c.sock != kInvalidSocket && c.sock != s.listenSocket);
        for (std::uint32_t j = 0; j < i; ++j) FUZZ_CHECK(s.clients[j].sock != c.sock);
        FUZZ_CHECK(c.recvLen >= 0 && c.recvLen <= kBufferSize && c.sendLen <= kBufferSize);
        FUZZ_CHECK(std::memchr(c.name, 0, sizeof c.name) && std::memchr(c.peerIp, 0, sizeof c.peerIp));
        FUZZ_CHECK(c.loginDeadlineMs >= now && c.loginDeadlineMs <= monotonicMs() + kLoginTimeoutMs);
        hostKept = hostKept || c.id == s.hostId;
    }
    FUZZ_CHECK(hostKept);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto* state = new HandoverState();
    static auto* again = new HandoverState();
    static auto* area = new std::uint8_t[kHandoverMaxBytes];
    char why[256];
    long long before = monotonicMs();
    if (!decodeHandover(data, size, *state, why, sizeof why)) return 0;
    checkKept(*state, before);
    std::size_t len = encodeHandover(*state, area, kHandoverMaxBytes);
    FUZZ_CHECK(len > 0);
    FUZZ_CHECK(decodeHandover(area, len, *again, why, sizeof why));
    FUZZ_CHECK(again->clientCount == state->clientCount && again->problemCount == 0);
    FUZZ_CHECK(again->outputLen == state->outputLen && again->consoleLen == state->consoleLen);
    for (std::uint32_t i = 0; i < state->clientCount; ++i)
        FUZZ_CHECK(std::memcmp(again->clients[i].recvBuf, state->clients[i].recvBuf,
                               static_cast<std::size_t>(state->clients[i].recvLen)) == 0);
    return 0;
}
