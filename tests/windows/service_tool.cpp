// The server as a Windows service, driven through the service control
// manager's own calls (Wine's sc has no control and its start does not
// wait): create, start and wait until it runs, a player logs in, a console
// line through the service's pipe, an upgrade by its user control with the
// player kept, a stop with "gameserver.exe -stopservice", which must not end
// before the service has stopped, delete. With --msi, the installer's scene
// instead (msi_scene.cpp).
// Its log tells what the server did. This program holds the Wine server for
// the service's lifetime: a service dies soon after the last ordinary
// program of the prefix ends.
//
// Usage: service_tool GAMESERVER_EXE   (a Linux path is taken as Wine's Z:)
//        service_tool --msi OLDER.msi NEWER.msi NEWER_VERSION
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "msi_scene.h"
#include "service_harness.h"

namespace {

const char* kService = "T1";
const char* kPlayer = "svcplayer";

// A log a few bytes short of 10 MB, as an earlier run left it: the
// service's first lines start a new one.
const std::string kOldLine = "an earlier run's line\r\n";
constexpr std::size_t kLogLimitBytes = 10 * 1024 * 1024;

bool putFullLog() {
    DeleteFileA((logPath(kService) + ".1").c_str());
    CreateDirectoryA(logPath(kService).substr(0, logPath(kService).rfind('\\')).c_str(), nullptr);
    std::ofstream out(logPath(kService), std::ios::binary | std::ios::trunc);
    out << kOldLine << std::string(kLogLimitBytes - 16 - kOldLine.size(), 'x') << "\r\n";
    return out.good() ? true : fail("cannot write the earlier log");
}

bool checkLogStartedAnew() {
    std::ifstream older(logPath(kService) + ".1", std::ios::binary);
    std::string first;
    std::getline(older, first);
    if (first + "\n" != kOldLine) return fail("the earlier log did not become T1.log.1");
    if (readLog(kService).find(kOldLine) != std::string::npos) return fail("the new log holds the earlier one");
    return true;
}

// Bytes from the server that hold this text, within 10 s.
bool receives(SOCKET s, const char* text) {
    DWORD limit = 10000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
    std::string got;
    char buf[512];
    while (got.find(text) == std::string::npos) {
        int n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) return fail("the player's connection ended or said nothing");
        got.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

// Starts the service. In a Wine prefix still being set up, the manager's
// database is locked for a while (1055), or the program it starts does not
// reach the dispatcher in the manager's time (1053): the start is tried
// again, for two minutes at most.
bool startService(SC_HANDLE service) {
    for (ULONGLONG end = GetTickCount64() + 120000; GetTickCount64() < end; Sleep(100)) {
        if (StartServiceW(service, 0, nullptr)) return true;
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_ALREADY_RUNNING) return true;
        if (error != ERROR_SERVICE_DATABASE_LOCKED && error != ERROR_SERVICE_REQUEST_TIMEOUT) return false;
        std::printf("StartServiceW: error %lu, tried again\n", error);
    }
    return false;
}

// "-stopservice T1" ends with 0 only once the service has stopped (a clean
// stop takes half a second); a second one finds nothing to stop, and one
// without a name fails.
bool stopsAndWaits(const std::string& program, SC_HANDLE service, SERVICE_STATUS& status) {
    std::wstring exe = L"\"" + windowsPath(program) + L"\"";
    DWORD code = 0;
    if (!runProgram(exe + L" -stopservice T1", 120000, code)) return false;
    if (code != 0) return std::printf("FAILED: -stopservice T1 ended with %lu\n", code), false;
    if (!QueryServiceStatus(service, &status)) return fail("QueryServiceStatus");
    if (status.dwCurrentState != SERVICE_STOPPED)
        return std::printf("FAILED: -stopservice T1 ended in state %lu\n", status.dwCurrentState), false;
    if (!runProgram(exe + L" -stopservice T1", 20000, code) || code != 0) return fail("a second -stopservice T1");
    if (!runProgram(exe + L" -stopservice", 20000, code) || code != 1) return fail("-stopservice without a name");
    return true;
}

bool run(SC_HANDLE manager, const std::string& program) {
    int port = freePort();
    std::wstring command = L"\"" + windowsPath(program) + L"\" -service T1 -onlylan -port " + std::to_wstring(port);
    SC_HANDLE service = CreateServiceW(manager, widen(kService).c_str(), L"gameserver test", SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!service) return fail("CreateServiceW");
    SERVICE_STATUS status;
    bool ok = startService(service) ? waitForState(service, SERVICE_RUNNING, status) : fail("StartServiceW");
    std::printf("running on port %d\n", port);
    SOCKET player = INVALID_SOCKET;
    ok = ok && logIn(port, kPlayer, player);
    ok = ok && sendConsoleLine(kService, "players\r\n") && waitForLog(kService, std::string("\t") + kPlayer, false);
    // The user control 128 upgrades the server, to the same program here:
    // the player stays, and the console's next line reaches the new one.
    ok = ok && (ControlService(service, 128, &status) ? true : fail("ControlService 128"));
    ok = ok && waitForLog(kService, "Server upgraded to release " GAMESERVER_RELEASE ", 1 client kept.", false);
    ok = ok && waitForState(service, SERVICE_RUNNING, status);
    ok = ok && sendConsoleLine(kService, "say kept\r\n") && receives(player, "kept");
    // The player leaves first: the last lines are then the stop's own.
    if (player != INVALID_SOCKET) closesocket(player);
    player = INVALID_SOCKET;
    ok = ok && waitForLog(kService, "number of clients: 0", false);
    ok = ok && stopsAndWaits(program, service, status);
    if (ok && status.dwWin32ExitCode != NO_ERROR) {
        std::printf("FAILED: stopped with exit code %lu\n", status.dwWin32ExitCode);
        ok = false;
    }
    ok = ok && waitForLog(kService, "Stopping server...", true);
    if (player != INVALID_SOCKET) closesocket(player);
    CloseServiceHandle(service);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    bool msi = argc == 5 && std::strcmp(argv[1], "--msi") == 0;
    if (argc != 2 && !msi) {
        std::printf("usage: service_tool GAMESERVER_EXE | service_tool --msi OLDER.msi NEWER.msi NEWER_VERSION\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return fail("OpenSCManagerW"), 1;
    bool ok = false;
    if (msi) {
        ok = runMsiScene(manager, argv[2], argv[3], argv[4]);
    } else {
        removeService(manager, kService);  // left by a run that was killed
        ok = putFullLog() && run(manager, argv[1]) && checkLogStartedAnew();
        removeService(manager, kService);
    }
    CloseServiceHandle(manager);
    std::printf(ok ? "service test passed\n" : "service test failed\n");
    return ok ? 0 : 1;
}
