#include "platform/process/stop_signal.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

void (*gOnStop)(void*, StopRequest) = nullptr;
void* gContext = nullptr;

// Windows runs this on a thread of its own for each console event. For the
// close of the console window it ends the process once the handler returns,
// so the handler does the whole stop itself and does not return.
BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_BREAK_EVENT:
        // A termination, as a process manager sends it: it may only begin a
        // drain and return.
        gOnStop(gContext, StopRequest::Terminate);
        return TRUE;
    case CTRL_C_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: gOnStop(gContext, StopRequest::Interrupt); return TRUE;
    default: return FALSE;
    }
}

// In QuickEdit mode a click into the console window selects text and holds
// every write to the console until the selection ends: the server's threads
// would stop at their next line of output.
void leaveQuickEdit() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode)) return;  // no console: input is a pipe or file
    SetConsoleMode(in, (mode & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE)) | ENABLE_EXTENDED_FLAGS);
}

}  // namespace

void holdControlSignals() {}

bool watchStopSignals(void (*onStop)(void*, StopRequest), void (*)(void*), void* context) {
    gOnStop = onStop;
    gContext = context;
    leaveQuickEdit();
    return SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
}

void forgetUpgradeRequests() {}

void endProcess(int code) {
    // The C run-time's own exit, even _exit, flushes its streams while the
    // DLLs detach; TerminateProcess skips that.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    ExitProcess(static_cast<UINT>(code));
}
