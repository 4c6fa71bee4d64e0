#include "service_harness.h"

// After windows.h, which it needs.
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

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
std::string logPath(const std::string& service) {
    wchar_t* data = nullptr;
    std::string path = "C:\\ProgramData";
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &data))) {
        path.clear();
        for (const wchar_t* c = data; *c; ++c) path += static_cast<char>(*c);
    }
    CoTaskMemFree(data);
    return path + "\\gameserver\\" + service + ".log";
}

std::string readLog(const std::string& service) {
    std::ifstream in(logPath(service), std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

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

bool waitForLog(const std::string& service, const std::string& text, bool last) {
    for (int i = 0; i < 100; ++i) {
        if (hasStampedLine(readLog(service), text, last)) return true;
        Sleep(100);
    }
    std::printf("FAILED: no stamped line \"%s\"%s in the log:\n%s\n", text.c_str(), last ? " at its end" : "",
                readLog(service).c_str());
    return false;
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

void removeService(SC_HANDLE manager, const std::string& service) {
    SC_HANDLE old = OpenServiceW(manager, widen(service).c_str(), SERVICE_ALL_ACCESS);
    if (!old) return;
    SERVICE_STATUS status;
    ControlService(old, SERVICE_CONTROL_STOP, &status);
    for (int i = 0; i < 50 && QueryServiceStatus(old, &status) && status.dwCurrentState != SERVICE_STOPPED; ++i)
        Sleep(100);
    DeleteService(old);
    CloseServiceHandle(old);
}

bool logIn(int port, const char* player, SOCKET& s) {
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
    std::memcpy(hello + 6, player, std::strlen(player));
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

bool sendConsoleLine(const std::string& service, const char* line) {
    std::wstring name = L"\\\\.\\pipe\\gameserver-" + widen(service);
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

bool runProgram(const std::wstring& commandLine, DWORD timeoutMs, DWORD& exitCode) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return fail("CreateProcessW");
    bool ended = WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0;
    if (!ended) {
        TerminateProcess(process.hProcess, 1);
        std::printf("FAILED: %ls did not end within %lu ms\n", commandLine.c_str(), timeoutMs);
    }
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return ended;
}
