#include "platform/process/upgrade_request.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/service/win/service_state.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

// An auto-reset event named for the port. A service makes it in the global
// namespace, so that an administrator's window in another session reaches
// it; a console program in its session's.
void eventName(wchar_t* name, std::size_t size, const wchar_t* space, int port) {
    std::swprintf(name, size, L"%lsgameserver-upgrade-%d", space, port);
}

std::atomic<HANDLE> gRequests{nullptr};

bool portFrom(const char* text, int* port) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != 0 || value < 1 || value > 65535) return false;
    *port = static_cast<int>(value);
    return true;
}

}  // namespace

void askForUpgradeIfAsked(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "-upgrade") != 0) return;
    int port = 0;
    if (argc != 3 || !portFrom(argv[2], &port)) {
        std::fprintf(stderr, "Usage: %s -upgrade PORT (the port of the server to upgrade, 1 to 65535)\n", argv[0]);
        std::fflush(stderr);
        ExitProcess(1);
    }
    wchar_t name[96];
    for (const wchar_t* space : {L"Global\\", L"Local\\"}) {
        eventName(name, 96, space, port);
        HANDLE request = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
        if (!request) continue;
        SetEvent(request);
        CloseHandle(request);
        std::printf("The server on port %d was asked to upgrade; its console tells the outcome.\n", port);
        std::fflush(stdout);
        ExitProcess(0);
    }
    std::fprintf(stderr, "No server on port %d takes upgrade requests on this machine.\n", port);
    std::fflush(stderr);
    ExitProcess(1);
}

bool takeUpgradeRequests(int port, void (*onRequest)(void*), void* context) {
    if (gRequests.load()) return true;
    wchar_t name[96];
    eventName(name, 96, inServiceMode() ? L"Global\\" : L"Local\\", port);
    HANDLE request = CreateEventW(nullptr, FALSE, FALSE, name);
    if (!request) return false;
    gRequests = request;
    std::thread([request, onRequest, context] {
        for (;;) {
            if (WaitForSingleObject(request, INFINITE) != WAIT_OBJECT_0) return;
            onRequest(context);
        }
    }).detach();
    return true;
}

void deliverUpgradeRequest() {
    if (HANDLE request = gRequests.load()) SetEvent(request);
}

void forgetWindowUpgradeRequests() {
    if (HANDLE request = gRequests.load()) ResetEvent(request);
}
