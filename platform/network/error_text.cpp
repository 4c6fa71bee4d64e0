#include "platform/network/error_text.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "platform/network/error_table.h"
#include "platform/network/socket.h"

namespace {

struct ErrorEntry {
    int code;
    const char* text;
};

// Sorted by code: looked up by bisection.
#define NET_ERROR_TEXT(code, text, ...) {code, text},
constexpr ErrorEntry kErrorTable[] = {NET_ERROR_TABLE(NET_ERROR_TEXT)};
#undef NET_ERROR_TEXT
static_assert(std::size(kErrorTable) == 50);
static_assert(std::is_sorted(std::begin(kErrorTable), std::end(kErrorTable),
                             [](const ErrorEntry& a, const ErrorEntry& b) { return a.code < b.code; }));

// One line area per thread, so that two threads' lines never mix.
thread_local char socketErrorText[256];

const char* textOf(int code) {
    auto entry = std::lower_bound(std::begin(kErrorTable), std::end(kErrorTable), code,
                                  [](const ErrorEntry& e, int c) { return e.code < c; });
    return entry != std::end(kErrorTable) && entry->code == code ? entry->text : "unknown error";
}

}  // namespace

const char* socketErrorMessage(int code, const char* prefix) {
    if (code == 0) code = netLastError();
    std::snprintf(socketErrorText, sizeof socketErrorText, "%s: %s (%d)", prefix, textOf(code), code);
    socketErrorText[sizeof socketErrorText - 1] = 0;
    return socketErrorText;
}
