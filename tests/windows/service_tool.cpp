// The server as a Windows service, driven through the service control
// manager's own calls (Wine's sc has no control and its start does not
// wait): create, start and wait until it runs, a player logs in, a console
// line through the service's pipe, an upgrade by its user control, a stop,
// delete.
// Its log tells what the server did. This program holds the Wine server for
// the service's lifetime: a service dies soon after the last ordinary
// program of the prefix ends.
//
// Usage: service_tool GAMESERVER_EXE   (a Linux path is taken as Wine's Z:)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

const wchar_t* kService = L"T1";
const char* kPlayer = "svcplayer";

bool fail(const char* what) {
    std::printf("FAILED: %s (last error %lu)\n", what, GetLastError());
    return false;
}

std::wstring widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::wstring windowsPath(std::string path) {
    if (!path.empty() && path[0] == '/') {
        for (char& c : path)
            if (c == '/') c = '\\';
        path = "Z:" + path;
    }
    return widen(path);
}

int freePort() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    closesocket(s);
    return ntohs(a.sin_port);
}

// Where the server puts it: %ProgramData% as the shell knows it.
std::string logPath() {
    wchar_t* data = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &data))) return "C:\\ProgramData\\gameserver\\T1.log";
    std::string path;
    for (const wchar_t* c = data; *c; ++c) path += static_cast<char>(*c);
    CoTaskMemFree(data);
    return path + "\\gameserver\\T1.log";
}

std::string readLog() {
    std::ifstream in(logPath(), std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// "YYYY-MM-DD HH:MM:SS " and then a line that ends with `text`.
bool hasStampedLine(const std::string& log, const std::string& text, bool last) {
    std::istringstream lines(log);
    std::string line, found;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        bool stamped = line.size() >= 20 && line[4] == '-' && line[7] == '-' && line[10] == ' ' && line[13] == ':' &&
                       line[16] == ':' && line[19] == ' ';
        bool match = stamped && line.size() >= 20 + text.size() && line.ends_with(text);
        if (!last && match) return true;
        if (!line.empty()) found = match ? "match" : "";
    }
    return last && found == "match";
}

// A log a few bytes short of 10 MB, as an earlier run left it: the
// service's first lines start a new one.
const std::string kOldLine = "an earlier run's line\r\n";
constexpr std::size_t kLogLimitBytes = 10 * 1024 * 1024;

bool putFullLog() {
    DeleteFileA((logPath() + ".1").c_str());
    CreateDirectoryA(logPath().substr(0, logPath().rfind('\\')).c_str(), nullptr);
    std::ofstream out(logPath(), std::ios::binary | std::ios::trunc);
    out << kOldLine << std::string(kLogLimitBytes - 16 - kOldLine.size(), 'x') << "\r\n";
    return out.good() ? true : fail("cannot write the earlier log");
}

bool checkLogStartedAnew() {
    std::ifstream older(logPath() + ".1", std::ios::binary);
    std::string first;
    std::getline(older, first);
    if (first + "\n" != kOldLine) return fail("the earlier log did not become T1.log.1");
    if (readLog().find(kOldLine) != std::string::npos) return fail("the new log holds the earlier one");
    return true;
}

bool waitForState(SC_HANDLE service, DWORD state, SERVICE_STATUS& status) {
    for (int i = 0; i < 200; ++i) {
        if (!QueryServiceStatus(service, &status)) return fail("QueryServiceStatus");
        if (status.dwCurrentState == state) return true;
        Sleep(100);
    }
    std::printf("FAILED: state %lu after 20 s, waited for %lu\n", status.dwCurrentState, state);
    return false;
}

bool logIn(int port, SOCKET& s) {
    s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return fail("connect");
    // Hello: lead byte, id 5, the version as a float, the name and the
    // password in 64 bytes each.
    char hello[134] = {0, 5};
    float version = 0.9f;
    std::memcpy(hello + 2, &version, 4);
    std::memcpy(hello + 6, kPlayer, std::strlen(kPlayer));
    if (send(s, hello, sizeof hello, 0) != sizeof hello) return fail("send Hello");
    // HelloReply: lead byte, id 10, version, name, id, status (0: let in).
    char reply[72];
    int got = 0;
    while (got < 72) {
        int n = recv(s, reply + got, 72 - got, 0);
        if (n <= 0) return fail("no HelloReply");
        got += n;
    }
    if (reply[1] != 10 || reply[71] != 0) return fail("the player was not let in");
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

bool sendConsoleLine(const char* line) {
    std::wstring name = std::wstring(L"\\\\.\\pipe\\gameserver-") + kService;
    for (int i = 0; i < 100; ++i) {
        HANDLE pipe = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            BOOL ok = WriteFile(pipe, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
            CloseHandle(pipe);
            return ok ? true : fail("write to the console pipe");
        }
        Sleep(100);
    }
    return fail("no console pipe");
}

bool waitForLog(const std::string& text, bool last) {
    for (int i = 0; i < 100; ++i) {
        if (hasStampedLine(readLog(), text, last)) return true;
        Sleep(100);
    }
    std::printf("FAILED: no stamped line \"%s\"%s in the log:\n%s\n", text.c_str(), last ? " at its end" : "",
                readLog().c_str());
    return false;
}

void removeService(SC_HANDLE manager) {
    SC_HANDLE old = OpenServiceW(manager, kService, SERVICE_ALL_ACCESS);
    if (!old) return;
    SERVICE_STATUS status;
    ControlService(old, SERVICE_CONTROL_STOP, &status);
    for (int i = 0; i < 50 && QueryServiceStatus(old, &status) && status.dwCurrentState != SERVICE_STOPPED; ++i)
        Sleep(100);
    DeleteService(old);
    CloseServiceHandle(old);
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

bool run(SC_HANDLE manager, const std::string& program) {
    int port = freePort();
    std::wstring command = L"\"" + windowsPath(program) + L"\" -service T1 -onlylan -port " + std::to_wstring(port);
    SC_HANDLE service = CreateServiceW(manager, kService, L"gameserver test", SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!service) return fail("CreateServiceW");
    SERVICE_STATUS status;
    bool ok = startService(service) ? waitForState(service, SERVICE_RUNNING, status) : fail("StartServiceW");
    std::printf("running on port %d\n", port);
    SOCKET player = INVALID_SOCKET;
    ok = ok && logIn(port, player);
    ok = ok && sendConsoleLine("players\r\n") && waitForLog(std::string("\t") + kPlayer, false);
    // The user control 128 upgrades the server, to the same program here:
    // the player stays, and the console's next line reaches the new one.
    ok = ok && (ControlService(service, 128, &status) ? true : fail("ControlService 128"));
    ok = ok && waitForLog("Server upgraded to release " GAMESERVER_RELEASE ", 1 client kept.", false);
    ok = ok && waitForState(service, SERVICE_RUNNING, status);
    ok = ok && sendConsoleLine("say kept\r\n") && receives(player, "kept");
    // The player leaves first: the last lines are then the stop's own.
    if (player != INVALID_SOCKET) closesocket(player);
    player = INVALID_SOCKET;
    ok = ok && waitForLog("number of clients: 0", false);
    ok = ok && (ControlService(service, SERVICE_CONTROL_STOP, &status) ? true : fail("ControlService STOP"));
    ok = ok && waitForState(service, SERVICE_STOPPED, status);
    if (ok && status.dwWin32ExitCode != NO_ERROR) {
        std::printf("FAILED: stopped with exit code %lu\n", status.dwWin32ExitCode);
        ok = false;
    }
    ok = ok && waitForLog("Stopping server...", true);
    if (player != INVALID_SOCKET) closesocket(player);
    CloseServiceHandle(service);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: service_tool GAMESERVER_EXE\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return fail("OpenSCManagerW"), 1;
    removeService(manager);  // left by a run that was killed
    bool ok = putFullLog() && run(manager, argv[1]) && checkLogStartedAnew();
    removeService(manager);
    CloseServiceHandle(manager);
    std::printf(ok ? "service test passed\n" : "service test failed\n");
    return ok ? 0 : 1;
}
