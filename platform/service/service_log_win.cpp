// A service's output: its own log file, %ProgramData%\gameserver\NAME.log,
// each line stamped with the local time like a journal line. It is written
// by the output queue's writer thread through the queue's sink, so a slow or
// full disk holds up only that thread: the queue drops what does not fit and
// counts it, and a write that fails is lost, never retried.
#include <cstdio>
#include <string>

#include "platform/service/win/service_state.h"
#include "streams/output.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <shlobj.h>

namespace {

// At this size the log becomes NAME.log.1 (replacing the one before) and a
// new one starts: two files at most.
constexpr unsigned long long kLogLimitBytes = 10ull * 1024 * 1024;

std::wstring gPath;
std::wstring gOlderPath;
HANDLE gFile = INVALID_HANDLE_VALUE;
unsigned long long gSize = 0;

// Others may read, rename or delete the log while it is open.
void openLog() {
    gFile = CreateFileW(gPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size = {};
    gSize = gFile != INVALID_HANDLE_VALUE && GetFileSizeEx(gFile, &size) ? static_cast<unsigned long long>(size.QuadPart)
                                                                         : 0;
}

void startNewLog() {
    CloseHandle(gFile);
    MoveFileExW(gPath.c_str(), gOlderPath.c_str(), MOVEFILE_REPLACE_EXISTING);
    openLog();
}

// The queue hands over whole lines, each ending with '\n'; the file gets
// CR LF line ends, as Windows tools expect.
void writeToLog(Stream, const char* text, std::size_t len, void*) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[32];
    int stampLen = std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u ", now.wYear, now.wMonth,
                                 now.wDay, now.wHour, now.wMinute, now.wSecond);
    std::string lines;
    lines.reserve(len + 32 * 8);
    for (std::size_t at = 0; at < len;) {
        std::size_t end = at;
        while (end < len && text[end] != '\n') ++end;
        lines.append(stamp, static_cast<std::size_t>(stampLen));
        lines.append(text + at, end - at);
        lines.append("\r\n");
        at = end + 1;
    }
    // A log that could not be opened is tried again with the next batch.
    if (gFile == INVALID_HANDLE_VALUE) openLog();
    if (gFile == INVALID_HANDLE_VALUE) return;
    if (gSize > 0 && gSize + lines.size() > kLogLimitBytes) {
        startNewLog();
        if (gFile == INVALID_HANDLE_VALUE) return;
    }
    DWORD written = 0;
    if (WriteFile(gFile, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr)) gSize += written;
}

}  // namespace

void startServiceLog(const wchar_t* name) {
    // %ProgramData% as the shell knows it: the service's environment need
    // not name it (under Wine it names another folder).
    wchar_t* data = nullptr;
    std::wstring folder = SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &data))
                              ? std::wstring(data)
                              : std::wstring(L"C:\\ProgramData");
    CoTaskMemFree(data);
    folder += L"\\gameserver";
    CreateDirectoryW(folder.c_str(), nullptr);  // there already, or the open below fails and lines are lost
    gPath = folder + L"\\" + name + L".log";
    gOlderPath = gPath + L".1";
    openLog();
    setOutputSink(writeToLog, nullptr);
}
