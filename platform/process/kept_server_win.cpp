#include "platform/process/kept_server.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

constexpr const wchar_t* kKeeperVariable = L"GAMESERVER_KEEPER";

HANDLE handleOf(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }
std::intptr_t valueOf(HANDLE h) { return reinterpret_cast<std::intptr_t>(h); }

std::wstring wide(const char* text) {
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), n);
    return out;
}

// One argument as the C run-time's parser reads it back: quoted where it
// holds a blank or a quote, backslashes doubled before a quote.
void appendArgument(std::wstring& line, const std::wstring& arg) {
    if (!line.empty()) line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(2 * backslashes, L'\\');
    line += L'"';
}

// A pipe whose `childEnd` end (0 read, 1 write) is inherited; the keeper's
// end is not.
bool makePipe(HANDLE& keeperEnd, HANDLE& childEnd, bool childReads) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
    keeperEnd = childReads ? writeEnd : readEnd;
    childEnd = childReads ? readEnd : writeEnd;
    SetHandleInformation(keeperEnd, HANDLE_FLAG_INHERIT, 0);
    return true;
}

// Pipes are made inheritable and given to one process at a time: no other
// kept server gets them by accident.
std::mutex gStartLock;

std::string gProgramPath;

// The system's text for an error about the program, as in "The system
// cannot find the file specified. (error 2)".
void describeError(DWORD error, const char* program, char* why, std::size_t whySize) {
    char text[512] = "";
    DWORD_PTR inserts[9];
    for (DWORD_PTR& insert : inserts) insert = reinterpret_cast<DWORD_PTR>(program);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr, error, 0, text,
                             sizeof text, reinterpret_cast<va_list*>(inserts));
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) text[--n] = 0;
    std::snprintf(why, whySize, "%s (error %lu)", n > 0 ? text : "unknown error", static_cast<unsigned long>(error));
}

// A kept server that crashes ends at once with the exception's code: no
// dialog and no debugger hold it up, and its keeper tells the code.
LONG WINAPI endOnCrash(EXCEPTION_POINTERS* crash) {
    TerminateProcess(GetCurrentProcess(), crash->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

bool canKeepServers() { return true; }

bool startKeptServer(const char* program, int argc, char** argv, bool takesOver, KeptServer& server, char* why,
                     std::size_t whySize) {
    DWORD error = 0;
    std::lock_guard<std::mutex> guard(gStartLock);
    HANDLE keeper[5] = {}, child[5] = {};
    const bool childReads[5] = {true, false, false, true, false};
    bool made = true;
    for (int i = 0; i < 5 && made; ++i) made = makePipe(keeper[i], child[i], childReads[i]);
    if (!made) error = GetLastError();

    std::wstring path = wide(program);
    std::wstring line;
    appendArgument(line, path);
    for (int i = 1; i < argc; ++i) appendArgument(line, wide(argv[i]));
    wchar_t pipes[64];
    std::swprintf(pipes, 64, L"%llu,%llu,%d", static_cast<unsigned long long>(valueOf(child[3])),
                  static_cast<unsigned long long>(valueOf(child[4])), takesOver ? 1 : 0);

    PROCESS_INFORMATION info{};
    if (made) {
        STARTUPINFOW start{};
        start.cb = sizeof start;
        start.dwFlags = STARTF_USESTDHANDLES;
        start.hStdInput = child[0];
        start.hStdOutput = child[1];
        start.hStdError = child[2];
        SetEnvironmentVariableW(kKeeperVariable, pipes);
        // A console of its own that nobody sees: Ctrl+C, Ctrl+Break and the
        // close of the keeper's window reach the keeper alone, which passes
        // them on.
        made = CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                              &start, &info) != 0;
        if (!made) error = GetLastError();
        SetEnvironmentVariableW(kKeeperVariable, nullptr);
    }
    for (HANDLE h : child)
        if (h) CloseHandle(h);
    if (!made) {
        for (HANDLE h : keeper)
            if (h) CloseHandle(h);
        describeError(error, program, why, whySize);
        return false;
    }
    CloseHandle(info.hThread);
    server.process = valueOf(info.hProcess);
    server.pid = info.dwProcessId;
    server.input = valueOf(keeper[0]);
    server.output = valueOf(keeper[1]);
    server.errors = valueOf(keeper[2]);
    server.toServer = valueOf(keeper[3]);
    server.fromServer = valueOf(keeper[4]);
    return true;
}

bool keptServerEnded(const KeptServer& server, int waitMs, std::uint32_t* code) {
    if (WaitForSingleObject(handleOf(server.process), static_cast<DWORD>(waitMs)) != WAIT_OBJECT_0) return false;
    DWORD exitCode = 0;
    GetExitCodeProcess(handleOf(server.process), &exitCode);
    *code = exitCode;
    return true;
}

void killKeptServer(const KeptServer& server) { TerminateProcess(handleOf(server.process), 1); }

void releaseKeptServer(KeptServer& server) {
    for (PipeEnd* p : {&server.input, &server.output, &server.errors, &server.toServer, &server.fromServer}) {
        pipeClose(*p);
        *p = kNoPipe;
    }
    if (server.process != -1) CloseHandle(handleOf(server.process));
    server.process = -1;
}

const char* keeperProgramPath() {
    if (gProgramPath.empty()) {
        char path[MAX_PATH * 2];
        DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
        if (n > 0 && n < sizeof path) gProgramPath.assign(path, n);
    }
    return gProgramPath.c_str();
}

std::uint32_t ownProcessId() { return GetCurrentProcessId(); }

long pipeRead(PipeEnd pipe, void* buf, std::size_t len) {
    DWORD got = 0;
    DWORD want = len < 0x10000 ? static_cast<DWORD>(len) : 0x10000;
    if (ReadFile(handleOf(pipe), buf, want, &got, nullptr)) return static_cast<long>(got);
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

bool pipeWrite(PipeEnd pipe, const void* buf, std::size_t len) {
    const char* at = static_cast<const char*>(buf);
    while (len > 0) {
        DWORD put = 0;
        DWORD want = len < 0x10000 ? static_cast<DWORD>(len) : 0x10000;
        if (!WriteFile(handleOf(pipe), at, want, &put, nullptr) || put == 0) return false;
        at += put;
        len -= put;
    }
    return true;
}

void pipeClose(PipeEnd pipe) {
    if (pipe != kNoPipe) CloseHandle(handleOf(pipe));
}

bool keeperPipes(PipeEnd* fromKeeper, PipeEnd* toKeeper, bool* takesOver) {
    wchar_t value[64];
    DWORD n = GetEnvironmentVariableW(kKeeperVariable, value, 64);
    if (n == 0 || n >= 64) return false;
    SetEnvironmentVariableW(kKeeperVariable, nullptr);
    unsigned long long down = 0, up = 0;
    int takeOver = 0;
    if (std::swscanf(value, L"%llu,%llu,%d", &down, &up, &takeOver) != 3) return false;
    // Only a pipe counts: a value set by hand names no handle of ours.
    if (GetFileType(reinterpret_cast<HANDLE>(down)) != FILE_TYPE_PIPE ||
        GetFileType(reinterpret_cast<HANDLE>(up)) != FILE_TYPE_PIPE)
        return false;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(endOnCrash);
    *fromKeeper = static_cast<PipeEnd>(down);
    *toKeeper = static_cast<PipeEnd>(up);
    *takesOver = takeOver != 0;
    return true;
}
