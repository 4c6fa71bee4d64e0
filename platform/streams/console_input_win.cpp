#include "platform/streams/console_input.h"

#include <string>

#include "platform/service/win/service_state.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

// A CR that ended the last read: whether it starts a line end is known only
// with the next byte.
bool gCrPending = false;

// A service's console: the named pipe \\.\pipe\gameserver-NAME, one writer
// at a time. Only the console thread waits on it, for a writer and for what
// the writer sends.
HANDLE gPipe = INVALID_HANDLE_VALUE;
bool gWriterConnected = false;
// The last byte handed out did not end a line: a writer that left without a
// line end still ends its line, so the next writer's line starts afresh.
bool gMidLine = false;

// Waits for a writer; false where the pipe cannot be made or waited on.
bool connectWriter() {
    if (gPipe == INVALID_HANDLE_VALUE) {
        std::wstring name = std::wstring(L"\\\\.\\pipe\\gameserver-") + serviceName();
        gPipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
                                 4096, 0, nullptr);
        if (gPipe == INVALID_HANDLE_VALUE) return false;
    }
    if (!ConnectNamedPipe(gPipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return false;
    gWriterConnected = true;
    return true;
}

// What the next writer sends, waiting for one as long as it takes: the pipe
// never ends. A failure to make or wait on the pipe is no reason to end the
// console loop's reads at a spin; it is tried again a second later.
DWORD readPipe(char* buf, DWORD want) {
    for (;;) {
        if (!gWriterConnected && !connectWriter()) {
            Sleep(1000);
            continue;
        }
        DWORD got = 0;
        if (ReadFile(gPipe, buf, want, &got, nullptr) && got > 0) return got;
        // The writer has gone (or failed): the pipe waits for the next.
        DisconnectNamedPipe(gPipe);
        gWriterConnected = false;
        if (gMidLine) {
            buf[0] = '\n';
            return 1;
        }
    }
}

}  // namespace

// A pipe (a kept server's console comes from its keeper through one) is
// looked at until it holds bytes or has ended, so that the read after it
// does not wait: a hand-over then finds the console between two reads. A
// console handle is signalled by any console event, a key released included,
// long before a line can be read: there the read itself waits.
void waitForStandardInput() {
    if (inServiceMode()) return;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (GetFileType(in) != FILE_TYPE_PIPE) return;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr) || available > 0) return;
        Sleep(10);
    }
}

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
        if (inServiceMode()) {
            got = readPipe(buf + kept, static_cast<DWORD>(want));
        } else {
            BOOL ok = ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf + kept, static_cast<DWORD>(want), &got, nullptr);
            if (!ok && GetLastError() != ERROR_BROKEN_PIPE) return -1;
        }
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
        if (out > 0) gMidLine = buf[out - 1] != '\n';
        if (out > 0) return static_cast<long>(out);
    }
}
