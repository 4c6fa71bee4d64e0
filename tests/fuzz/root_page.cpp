// The list's start page as it arrives: read in pieces until it is complete,
// then searched for the host of its first link.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "masterlist/root_page.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first byte sets the size of the pieces, as receives might cut them.
    if (size == 0) return 0;
    std::size_t piece = 1 + data[0] % 128;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    std::size_t len = size - 1;
    std::string page;
    for (std::size_t at = 0; at < len; at += piece) {
        page.append(bytes + at, std::min(piece, len - at));
        if (pageComplete(page.data(), page.size())) break;
    }
    for (std::size_t hostSize : {std::size_t(1), std::size_t(16), std::size_t(1024)}) {
        char host[1024];
        std::memset(host, 'q', sizeof host);
        host[hostSize - 1] = 0;
        if (hostFromPage(page.c_str(), host, hostSize)) FUZZ_CHECK(std::strlen(host) < hostSize);
        else FUZZ_CHECK(host[hostSize - 1] == 0);
    }
    return 0;
}
