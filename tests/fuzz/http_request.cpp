// A request head as it arrives at the endpoint: in pieces, parsed anew after
// each one, as the endpoint does, up to one byte beyond the limit.
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "monitoring/http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first byte sets the size of the pieces, as receives might cut them.
    if (size == 0) return 0;
    std::size_t piece = 1 + data[0] % 64;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    std::size_t len = size - 1;
    // The endpoint's buffer: never more than the limit and one byte. The
    // input is repeated to fill it, so that heads near the limit are tried.
    static char buf[kMaxRequestHead + 1];
    std::size_t have = 0;
    HttpHead last = HttpHead::Incomplete;
    while (len > 0 && have < sizeof buf) {
        std::size_t n = piece;
        if (n > sizeof buf - have) n = sizeof buf - have;
        for (std::size_t i = 0; i < n; ++i) buf[have + i] = bytes[(have + i) % len];
        have += n;
        HttpRequest request;
        std::memset(&request, 0x55, sizeof request);
        last = parseHttpHead(buf, have, request);
        if (last == HttpHead::Complete) {
            FUZZ_CHECK(std::memchr(request.method, 0, sizeof request.method) != nullptr);
            FUZZ_CHECK(std::memchr(request.path, 0, sizeof request.path) != nullptr);
            FUZZ_CHECK(request.method[0] != 0 && request.path[0] != 0);
            FUZZ_CHECK(have <= kMaxRequestHead);
        }
        if (last != HttpHead::Incomplete) break;
        // A head with more bytes than the limit is never still incomplete.
        FUZZ_CHECK(have <= kMaxRequestHead);
    }
    if (len > 0) FUZZ_CHECK(last != HttpHead::Incomplete);
    return 0;
}
