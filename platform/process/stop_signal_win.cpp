#include "platform/process/stop_signal.h"

#include <atomic>

#include "platform/service/win/service_state.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

// Set once; a service's stop may come from the manager's thread before.
std::atomic<void (*)(void*, StopRequest)> gOnStop{nullptr};
void* gContext = nullptr;

// Windows runs this on a thread of its own for each console event. For the
// close of the console window it ends the process once the handler returns,
// so the handler does the whole stop itself and does not return.
BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_BREAK_EVENT:
        // A termination, as a process manager sends it: it may only begin a
        // drain and return.
        gOnStop.load()(gContext, StopRequest::Terminate);
        return TRUE;
    case CTRL_C_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: gOnStop.load()(gContext, StopRequest::Interrupt); return TRUE;
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
    gContext = context;
    gOnStop = onStop;
    // A service has no console; its stops come from the manager, and the
    // console events a service process still gets (a user's logoff) are no
    // stop of its own.
    if (inServiceMode()) return true;
    leaveQuickEdit();
    return SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
}

void forgetUpgradeRequests() {}

// A stop that comes while the server starts is taken once it serves, as
// the console's stop events are.
void deliverStopRequest(StopRequest request) {
    while (!gOnStop.load()) Sleep(50);
    gOnStop.load()(gContext, request);
}

void endProcess(int code) {
    // A service whose process ends without saying it stopped counts as
    // failed to the manager, which then runs its recovery actions.
    reportServiceState(SERVICE_STOPPED, code);
    // The C run-time's own exit, even _exit, flushes its streams while the
    // DLLs detach; TerminateProcess skips that.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    ExitProcess(static_cast<UINT>(code));
}
