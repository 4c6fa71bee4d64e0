#include "platform/streams/console_input.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

// A CR that ended the last read: whether it starts a line end is known only
// with the next byte.
bool gCrPending = false;

}  // namespace

// A console handle is signalled by any console event, a key released
// included, long before a line can be read: the read itself waits.
void waitForStandardInput() {}

long readStandardInput(char* buf, std::size_t len) {
    if (len < 2) return -1;  // room for a held-back CR and one byte more
    // Consoles and pipes from Windows programs end lines with CR LF, which
    // the console commands see as one '\n', as the C run-time's text mode
    // gives them.
    for (;;) {
        std::size_t kept = 0;
        if (gCrPending) buf[kept++] = '\r';
        gCrPending = false;
        std::size_t want = len - kept < 0xFFFF ? len - kept : 0xFFFF;
        DWORD got = 0;
        BOOL ok = ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf + kept, static_cast<DWORD>(want), &got, nullptr);
        if (!ok && GetLastError() != ERROR_BROKEN_PIPE) return -1;
        std::size_t n = kept + got;
        if (got == 0) return static_cast<long>(n);  // ended; a held-back CR stays a CR
        std::size_t out = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (buf[i] == '\r' && i + 1 == n) {
                gCrPending = true;
                break;
            }
            if (buf[i] == '\r' && buf[i + 1] == '\n') continue;
            buf[out++] = buf[i];
        }
        if (out > 0) return static_cast<long>(out);
    }
}
