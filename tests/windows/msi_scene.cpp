// The service as the installer sets it up. Its own service name and port:
// it runs one at a time with the other service scene (both use the prefix's
// one service manager and installer). msiexec's verbose logs go to the
// working directory (CTest's: the build folder) as msi-*.log.
#include "msi_scene.h"

// After windows.h, which they need.
#include <msi.h>
#include <shlobj.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

const char* kService = "T2";
const wchar_t* kUpgradeCode = L"{6A1F0C42-5A0E-4A8E-9D0C-3F2B7E1D9C51}";

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// msiexec with its arguments, which it must end with code `expected`. An
// install whose service start timed out in a Wine prefix still being set up
// (the log shows StartServices failed; Wine's installer then rolls back) is
// tried again, for two minutes at most.
bool msiexec(const std::wstring& arguments, const char* log, DWORD expected) {
    for (ULONGLONG end = GetTickCount64() + 120000;;) {
        DeleteFileA(log);
        DWORD code = 0;
        if (!runProgram(L"msiexec.exe " + arguments + L" /qn /l*v " + widen(log), 300000, code)) return false;
        if (code == expected) return true;
        bool startTimedOut = fileText(log).find("StartServices. Return value 0.") != std::string::npos;
        if (!startTimedOut || GetTickCount64() > end) {
            std::printf("FAILED: msiexec %ls ended with %lu, not %lu (its log: %s)\n", arguments.c_str(), code,
                        expected, log);
            return false;
        }
        std::printf("msiexec %ls: the service's start failed (%lu), tried again\n", arguments.c_str(), code);
    }
}

// The installed releases of the package: the version of the only one, or
// "" where none is installed.
bool installedVersion(std::string& version) {
    wchar_t product[39];
    version.clear();
    if (MsiEnumRelatedProductsW(kUpgradeCode, 0, 0, product) != ERROR_SUCCESS) return true;
    if (MsiEnumRelatedProductsW(kUpgradeCode, 0, 1, product) == ERROR_SUCCESS)
        return fail("two releases are installed at once");
    wchar_t text[64];
    DWORD size = 64;
    if (MsiGetProductInfoW(product, L"VersionString", text, &size) != ERROR_SUCCESS)
        return fail("MsiGetProductInfoW");
    for (const wchar_t* c = text; *c; ++c) version += static_cast<char>(*c);
    return true;
}

bool expectVersion(const std::string& expected) {
    std::string version;
    if (!installedVersion(version)) return false;
    if (version == expected) return true;
    std::printf("FAILED: installed release \"%s\", expected \"%s\"\n", version.c_str(), expected.c_str());
    return false;
}

// What the service runs: its command line, and its process while it runs.
bool serviceCommand(SC_HANDLE service, std::wstring& command) {
    DWORD size = 0;
    QueryServiceConfigW(service, nullptr, 0, &size);
    std::string buffer(size, '\0');
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service, config, size, &size)) return fail("QueryServiceConfigW");
    command = config->lpBinaryPathName;
    return true;
}

DWORD serviceProcess(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD size = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &size))
        return 0;
    return status.dwProcessId;
}

// The installed service runs, with the options given at the first install,
// and lets a player in. Gives the service's process.
bool checkRunning(SC_HANDLE manager, int port, const char* player, SOCKET& s, DWORD& process) {
    SC_HANDLE service = OpenServiceW(manager, widen(kService).c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (!service) return fail("the installer registered no service T2");
    SERVICE_STATUS status;
    std::wstring command;
    bool ok = waitForState(service, SERVICE_RUNNING, status) && serviceCommand(service, command);
    std::wstring options = L"gameserver.exe -service T2 -port " + std::to_wstring(port) + L" -maxplayers 8 -onlylan";
    if (ok && command.find(options) == std::wstring::npos) {
        std::printf("FAILED: the service runs \"%ls\", not ...%ls\n", command.c_str(), options.c_str());
        ok = false;
    }
    process = serviceProcess(service);
    CloseServiceHandle(service);
    return ok && logIn(port, player, s);
}

// The server ends the player's connection: recv ends (0 or an error) within 20 s.
bool droppedWithin20s(SOCKET s) {
    DWORD timeout = 20000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    char buffer[512];
    for (;;) {
        int n = recv(s, buffer, sizeof buffer, 0);
        if (n == 0) return true;
        if (n < 0) return WSAGetLastError() != WSAETIMEDOUT;
    }
}

bool processEnded(DWORD pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process) return true;
    bool ended = WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

std::string installedProgram() {
    wchar_t* folder = nullptr;
    std::string path = "C:\\Program Files";
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, &folder))) {
        path.clear();
        for (const wchar_t* c = folder; *c; ++c) path += static_cast<char>(*c);
    }
    CoTaskMemFree(folder);
    return path + "\\gameserver\\gameserver.exe";
}

// A release left installed by a run that was killed goes first, by its
// product code: a package built since has another one.
bool removeLeftovers(SC_HANDLE manager) {
    wchar_t product[39];
    while (MsiEnumRelatedProductsW(kUpgradeCode, 0, 0, product) == ERROR_SUCCESS)
        if (!msiexec(L"/x " + std::wstring(product), "msi-leftover.log", 0)) return false;
    removeService(manager, kService);
    return true;
}

// Options the service could not run with stop the install with a message,
// and leave nothing installed.
bool refusesBadOptions(const std::wstring& older) {
    return msiexec(L"/i \"" + older + L"\" PORT=5x5 SERVICENAME=T2", "msi-bad-port.log", ERROR_INSTALL_FAILURE) &&
           msiexec(L"/i \"" + older + L"\" MAXPLAYERS=64 SERVICENAME=T2", "msi-bad-players.log",
                   ERROR_INSTALL_FAILURE) &&
           msiexec(L"/i \"" + older + L"\" SERVICENAME=\"T 2\"", "msi-bad-name.log", ERROR_INSTALL_FAILURE) &&
           expectVersion("");
}

}  // namespace

bool runMsiScene(SC_HANDLE manager, const std::string& olderMsi, const std::string& newerMsi,
                 const std::string& newerVersion) {
    std::wstring older = windowsPath(olderMsi), newer = windowsPath(newerMsi);
    if (!removeLeftovers(manager) || !refusesBadOptions(older)) return false;
    std::string olderVersion;
    int port = freePort();
    std::wstring options = L" SERVICENAME=T2 MAXPLAYERS=8 ONLYLAN=1 PORT=" + std::to_wstring(port);
    if (!msiexec(L"/i \"" + older + L"\"" + options, "msi-install.log", 0)) return false;
    if (!installedVersion(olderVersion)) return false;
    std::printf("release %s installed, service T2 on port %d\n", olderVersion.c_str(), port);

    SOCKET player = INVALID_SOCKET, second = INVALID_SOCKET;
    DWORD before = 0, after = 0;
    bool ok = checkRunning(manager, port, "msiplayer", player, before);
    ok = ok && sendConsoleLine(kService, "players\r\n") && waitForLog(kService, "\tmsiplayer", false);

    // The upgrade takes no options: the installed release's are kept. Until
    // the server hands its players to the new program, the old one is
    // stopped and its players are dropped.
    ok = ok && msiexec(L"/i \"" + newer + L"\"", "msi-upgrade.log", 0) && expectVersion(newerVersion);
    if (ok) {
        bool dropped = droppedWithin20s(player);
        std::printf("the player connected during the upgrade was %s\n", dropped ? "dropped" : "kept");
        ok = dropped ? true : fail("the old server still serves its player after the upgrade");
    }
    ok = ok && checkRunning(manager, port, "msiplayer2", second, after);
    if (ok && (before == 0 || before == after || !processEnded(before))) ok = fail("the old server's process lives on");

    // The uninstall stops the server, removes the service and the program.
    ok = ok && msiexec(L"/x \"" + newer + L"\"", "msi-uninstall.log", 0) && expectVersion("");
    if (ok && !droppedWithin20s(second)) ok = fail("the player was not dropped by the uninstall");
    if (ok && !processEnded(after)) ok = fail("the server runs on after the uninstall");
    SC_HANDLE gone = ok ? OpenServiceW(manager, L"T2", SERVICE_QUERY_STATUS) : nullptr;
    if (gone) CloseServiceHandle(gone);
    if (ok && (gone || GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST)) ok = fail("the service T2 is still registered");
    if (ok && GetFileAttributesA(installedProgram().c_str()) != INVALID_FILE_ATTRIBUTES)
        ok = fail("the program is still installed");
    ok = ok && waitForLog(kService, "Stopping server...", true);
    if (player != INVALID_SOCKET) closesocket(player);
    if (second != INVALID_SOCKET) closesocket(second);
    return ok;
}
