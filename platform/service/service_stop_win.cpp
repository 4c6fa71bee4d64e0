// "-stopservice NAME": asks the service control manager to stop a service and
// follows its status until it is stopped. A clean stop of the server takes
// about half a second, a drain as long as it is set to last; the manager is
// told of its progress (a new checkpoint) at least every 10 s meanwhile. The
// wait ends in failure when the service shows no progress for kStallMs, or
// after kLongestMs in all.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/service/service_stop.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

constexpr ULONGLONG kStallMs = 60000;
constexpr ULONGLONG kLongestMs = 30ull * 60 * 1000;
constexpr DWORD kPollMs = 50;

[[noreturn]] void failWith(const char* name, const char* what, DWORD error) {
    std::fprintf(stderr, "Cannot stop the service %s: %s (error %lu)\n", name, what, error);
    std::exit(1);
}

// Sends the stop, again while the service is still starting (it takes no
// controls then), and waits until it reports SERVICE_STOPPED.
void stopAndWait(SC_HANDLE service, const char* name) {
    SERVICE_STATUS status = {};
    ULONGLONG start = GetTickCount64();
    ULONGLONG lastProgress = start;
    DWORD lastCheckPoint = 0;
    bool sent = false;
    for (;;) {
        if (!QueryServiceStatus(service, &status)) failWith(name, "cannot read its status", GetLastError());
        if (status.dwCurrentState == SERVICE_STOPPED) return;
        ULONGLONG now = GetTickCount64();
        if (status.dwCheckPoint != lastCheckPoint) {
            lastCheckPoint = status.dwCheckPoint;
            lastProgress = now;
        }
        if (!sent && status.dwCurrentState != SERVICE_STOP_PENDING) {
            if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
                sent = true;
            } else {
                DWORD error = GetLastError();
                if (error == ERROR_SERVICE_NOT_ACTIVE) return;
                if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) failWith(name, "the stop was refused", error);
            }
        }
        if (now - lastProgress > kStallMs) failWith(name, "it shows no progress while stopping", ERROR_TIMEOUT);
        if (now - start > kLongestMs) failWith(name, "it has not stopped within 30 minutes", ERROR_TIMEOUT);
        Sleep(kPollMs);
    }
}

}  // namespace

void stopServiceIfAsked(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "-stopservice") != 0) return;
    if (argc != 3 || argv[2][0] == 0) {
        std::fputs("usage: gameserver -stopservice NAME   (stops the service NAME and waits until it has stopped)\n",
                   stderr);
        std::exit(1);
    }
    const char* name = argv[2];
    wchar_t wide[257] = {};
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, wide, 257) == 0)
        failWith(name, "the name is too long", GetLastError());
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) failWith(name, "no access to the service manager", GetLastError());
    SC_HANDLE service = OpenServiceW(manager, wide, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST) failWith(name, "cannot open it", error);
        std::printf("No service %s is installed: nothing to stop\n", name);
        std::exit(0);
    }
    stopAndWait(service, name);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    std::printf("Service %s stopped\n", name);
    std::exit(0);
}
