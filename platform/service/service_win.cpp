// Service mode: the main thread hands itself to the service control manager's
// dispatcher, and the server runs on the thread the manager starts the
// service on. The manager's controls arrive on the main thread, which must
// answer at once: a stop is carried out on a thread of its own.
#include "platform/service/service_mode.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/process/upgrade_request.h"
#include "platform/service/win/service_state.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

// The user control the upgrade will use; until then it is taken and ignored.
constexpr DWORD kUpgradeControl = 128;
// How long the manager is told to wait for the next report while the server
// starts and stops (a draining stop reports nothing new until it ends).
constexpr DWORD kPendingWaitMs = 30000;

wchar_t gName[257] = {};
int gArgc = 0;
char** gArgv = nullptr;
int (*gServe)(int, char**) = nullptr;

std::mutex gStatusLock;
SERVICE_STATUS_HANDLE gHandle = nullptr;
SERVICE_STATUS gStatus = {};

DWORD WINAPI carryOutStop(void* request) {
    deliverStopRequest(static_cast<StopRequest>(reinterpret_cast<INT_PTR>(request)));
    return 0;
}

// While a stop is pending (a drain may take minutes), the manager hears of
// progress every few seconds, so that it does not take the wait for a hang.
constexpr DWORD kStopProgressEveryMs = 10000;

DWORD WINAPI reportStopProgress(void*) {
    for (;;) {
        Sleep(kStopProgressEveryMs);
        if (!reportStopStillPending()) return 0;
    }
}

void stopOnThread(StopRequest request) {
    HANDLE thread =
        CreateThread(nullptr, 0, carryOutStop, reinterpret_cast<void*>(static_cast<INT_PTR>(request)), 0, nullptr);
    if (thread) CloseHandle(thread);
}

DWORD WINAPI onControl(DWORD control, DWORD, void*, void*) {
    switch (control) {
    case SERVICE_CONTROL_STOP: {
        // The same clean stop as "exit", or a drain first where one is set.
        reportServiceState(SERVICE_STOP_PENDING, 0);
        stopOnThread(StopRequest::Terminate);
        HANDLE progress = CreateThread(nullptr, 0, reportStopProgress, nullptr, 0, nullptr);
        if (progress) CloseHandle(progress);
        return NO_ERROR;
    }
    case SERVICE_CONTROL_SHUTDOWN:
        // The machine goes down and gives little time: no drain.
        reportServiceState(SERVICE_STOP_PENDING, 0);
        stopOnThread(StopRequest::Interrupt);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
    case kUpgradeControl:
        // The same request as "gameserver.exe -upgrade PORT" from a window.
        deliverUpgradeRequest();
        return NO_ERROR;
    default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI serviceMain(DWORD, wchar_t**) {
    gHandle = RegisterServiceCtrlHandlerExW(gName, onControl, nullptr);
    if (!gHandle) return;  // the dispatcher returns and the process ends with an error
    reportServiceState(SERVICE_START_PENDING, 0);
    startServiceLog(gName);
    // The server's own entry; it ends the process itself, never returning
    // but where it has nothing to serve.
    int code = gServe(gArgc, gArgv);
    endProcess(code);
}

}  // namespace

bool inServiceMode() { return gName[0] != 0; }
const wchar_t* serviceName() { return gName; }

void reportServiceState(unsigned long state, int exitCode) {
    std::lock_guard<std::mutex> guard(gStatusLock);
    if (!gHandle) return;
    static DWORD checkPoint = 0;
    gStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    gStatus.dwCurrentState = state;
    gStatus.dwControlsAccepted =
        state == SERVICE_START_PENDING || state == SERVICE_STOPPED ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    gStatus.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    gStatus.dwServiceSpecificExitCode = static_cast<DWORD>(exitCode);
    bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    gStatus.dwCheckPoint = pending ? ++checkPoint : 0;
    gStatus.dwWaitHint = pending ? kPendingWaitMs : 0;
    SetServiceStatus(gHandle, &gStatus);
}

bool reportStopStillPending() {
    {
        std::lock_guard<std::mutex> guard(gStatusLock);
        if (gStatus.dwCurrentState != SERVICE_STOP_PENDING) return false;
    }
    reportServiceState(SERVICE_STOP_PENDING, 0);
    return true;
}

void runAsServiceIfAsked(int argc, char** argv, int (*serve)(int, char**)) {
    if (argc < 3 || std::strcmp(argv[1], "-service") != 0) return;
    if (MultiByteToWideChar(CP_ACP, 0, argv[2], -1, gName, static_cast<int>(sizeof gName / sizeof gName[0])) <= 1) {
        std::fputs("-service needs the service's name\n", stderr);
        std::exit(1);
    }
    // The marker goes; the option scan sees the rest as a console program
    // would get it.
    argv[2] = argv[0];
    gArgc = argc - 2;
    gArgv = argv + 2;
    gServe = serve;
    SERVICE_TABLE_ENTRYW table[] = {{gName, serviceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        std::fprintf(stderr, "Cannot run as a service (error %lu): -service is for the service manager only\n",
                     GetLastError());
        std::exit(1);
    }
    // Every service of the process has stopped.
    std::exit(0);
}
