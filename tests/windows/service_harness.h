// What the Windows service scenes share: the service manager's calls with
// time limits, a player's login, the service's console pipe and its log.
// Each scene has a service name and a port of its own.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>

#include <string>

// Prints "FAILED: what (last error N)" and gives false.
bool fail(const char* what);
std::wstring widen(const std::string& s);
// A Linux path is taken as Wine's Z:.
std::wstring windowsPath(std::string path);
int freePort();

// %ProgramData%\gameserver\NAME.log, where the service logs.
std::string logPath(const std::string& service);
std::string readLog(const std::string& service);
// Whether the log has "YYYY-MM-DD HH:MM:SS " and then a line ending with
// text (with last: as its last line); waitForLog waits 10 s for it.
bool hasStampedLine(const std::string& log, const std::string& text, bool last);
bool waitForLog(const std::string& service, const std::string& text, bool last);

// Waits 20 s at most for the service's state.
bool waitForState(SC_HANDLE service, DWORD state, SERVICE_STATUS& status);
// Stops (5 s at most) and deletes a service left by a run that was killed.
void removeService(SC_HANDLE manager, const std::string& service);

// Connects to the port on loopback and logs in as player; the socket stays
// open in s.
bool logIn(int port, const char* player, SOCKET& s);
// Writes a line to the service's console pipe, which may take 10 s to appear.
bool sendConsoleLine(const std::string& service, const char* line);

// Runs a command line and waits for its end (timeoutMs at most, then it is
// killed); false where it could not be run or did not end in time.
bool runProgram(const std::wstring& commandLine, DWORD timeoutMs, DWORD& exitCode);
