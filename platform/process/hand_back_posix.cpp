// The hand-back: until the new program serves, a crash, the time limit or a
// refusal runs the old program again in this process, from its descriptor,
// with the state and the sockets as they came. What runs in a signal handler
// here uses async-signal-safe calls only, on buffers made when it was armed.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/process/hand_back.h"
#include "platform/process/posix/process_support.h"
#include "streams/output.h"

using namespace process_support;

namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

volatile sig_atomic_t gArmed = 0;
int gFallback = -1;  // the old program
int gStateFd = -1;   // the state, as the old program handed it on
int gLimitSeconds = 0;
// The old program's environment, with the state's variable and the reason's:
// "GAMESERVER_HANDBACK=PATH (release R) " and the reason after it, in room
// made at arming and ended by its first zero.
constexpr std::size_t kReasonRoom = 1024;
std::vector<std::string> gExtra;
std::vector<char*> gEnv;
char* gReasonEntry = nullptr;
std::size_t gReasonStart = 0;
char gTakenReason[600];
// A crash from an overflowing stack still finds a stack to hand back on:
// every thread that may run while the hand-back is armed has one of its own
// (sigaltstack is per thread).
constexpr std::size_t kCrashStackBytes = 64 * 1024;
struct CrashStack {
    CrashStack() {
        stack_t stack{};
        stack.ss_sp = area;
        stack.ss_size = sizeof area;
        ::sigaltstack(&stack, nullptr);
    }
    ~CrashStack() {
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        ::sigaltstack(&off, nullptr);
    }
    alignas(16) char area[kCrashStackBytes];
};

void put(std::size_t& at, const char* text) {
    while (*text && at + 1 < kReasonRoom) gReasonEntry[at++] = *text++;
    gReasonEntry[at] = 0;
}

void putNumber(std::size_t& at, int n) {
    char digits[12];
    int k = 0;
    do {
        digits[k++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n > 0 && k < 11);
    char text[12];
    for (int i = 0; i < k; ++i) text[i] = digits[k - 1 - i];
    text[k] = 0;
    put(at, text);
}

void writeError(const char* text) {
    std::size_t n = std::strlen(text);
    while (n > 0) {
        ssize_t w = ::write(2, text, n);
        if (w <= 0) return;
        text += w;
        n -= static_cast<std::size_t>(w);
    }
}

// Runs the old program; returns only when it could not be run.
void handBackNow() {
    if (!gArmed) return;
    ::alarm(0);
    // The stop and upgrade signals stay blocked as the old program blocks
    // them, and those that came meanwhile stay pending for it.
    sigset_t held;
    sigemptyset(&held);
    for (int sig : {SIGINT, SIGTERM, SIGUSR2}) sigaddset(&held, sig);
    ::sigprocmask(SIG_SETMASK, &held, nullptr);
    int flags = ::fcntl(gStateFd, F_GETFD);
    if (flags >= 0) ::fcntl(gStateFd, F_SETFD, flags & ~FD_CLOEXEC);
    ::syscall(SYS_execveat, gFallback, "", savedArgv(), gEnv.data(), AT_EMPTY_PATH);
    // Nothing is armed any more: a crash from here on takes its course, and
    // the caller goes on as a program that cannot hand back.
    gArmed = 0;
    struct sigaction defaults{};
    defaults.sa_handler = SIG_DFL;
    for (int sig : kCrashSignals) ::sigaction(sig, &defaults, nullptr);
    ::close(gFallback);
    gFallback = -1;
    writeError("The old program could not be run again: the upgrade cannot be undone.\n");
}

void onCrash(int sig) {
    if (gArmed) {
        std::size_t at = gReasonStart;
        put(at, "crashed with signal ");
        putNumber(at, sig);
        put(at, " while taking over");
        handBackNow();
    }
    // Nothing to hand back to: the crash takes its course.
    ::signal(sig, SIG_DFL);
}

void onTimeLimit(int) {
    if (!gArmed) return;
    std::size_t at = gReasonStart;
    put(at, "did not take over within ");
    putNumber(at, gLimitSeconds);
    put(at, gLimitSeconds == 1 ? " second" : " seconds");
    handBackNow();
}

void reportUnusable(const char* variable, const std::string& given, const char* what) {
    Line line;
    lineStart(line);
    lineAdd(line, variable);
    lineAdd(line, "=");
    lineAddClientText(line, given.c_str(), given.size());
    lineAdd(line, what);
    lineWrite(line, Stream::Err);
}

}  // namespace

bool armHandBack(const char* failed, int limitSeconds) {
    const char* value = std::getenv(kFallbackVariable);
    if (!value) return false;
    std::string given = value;
    ::unsetenv(kFallbackVariable);
    int fallback = descriptorNumber(given.c_str());
    struct stat st{};
    if (fallback < 0 || ::fstat(fallback, &st) != 0 || !S_ISREG(st.st_mode)) {
        reportUnusable(kFallbackVariable, given, " names no program to hand back to; a failure to take over cannot be undone.");
        return false;
    }
    const char* stateValue = std::getenv(kStateVariable);
    int stateFd = stateValue ? descriptorNumber(stateValue) : -1;
    if (stateFd < 0) {
        ::close(fallback);
        return false;  // the state's own check says what is wrong with it
    }
    setCloseOnExec(fallback, true);
    gFallback = fallback;
    gStateFd = stateFd;
    gLimitSeconds = limitSeconds;

    gExtra = {std::string(kStateVariable) + "=" + std::to_string(stateFd), std::string(kReasonRoom, '\0')};
    gEnv = environmentWith(gExtra, false);
    gReasonEntry = gExtra[1].data();
    gReasonStart = 0;
    put(gReasonStart, kHandBackVariable);
    put(gReasonStart, "=");
    put(gReasonStart, failed);
    put(gReasonStart, " ");

    giveThreadCrashStack();
    struct sigaction crash{};
    crash.sa_handler = onCrash;
    crash.sa_flags = SA_ONSTACK;
    sigfillset(&crash.sa_mask);
    for (int sig : kCrashSignals) ::sigaction(sig, &crash, nullptr);
    struct sigaction limit{};
    limit.sa_handler = onTimeLimit;
    sigfillset(&limit.sa_mask);
    ::sigaction(SIGALRM, &limit, nullptr);
    gArmed = 1;
    ::alarm(static_cast<unsigned>(limitSeconds));
    return true;
}

void handBack(const char* reason) {
    if (!gArmed) return;
    std::size_t at = gReasonStart;
    put(at, reason);
    handBackNow();
}

bool handBackArmed() { return gArmed != 0; }

void giveThreadCrashStack() { thread_local CrashStack stack; }

void disarmHandBack() {
    if (!gArmed) return;
    gArmed = 0;
    ::alarm(0);
    for (int sig : kCrashSignals) ::signal(sig, SIG_DFL);
    ::signal(SIGALRM, SIG_IGN);
    ::close(gFallback);
    gFallback = -1;
}

const char* takeHandBackReason() {
    const char* value = std::getenv(kHandBackVariable);
    if (!value) return nullptr;
    // Another program's words: shown as text, never as control characters.
    std::size_t n = 0;
    for (const char* p = value; *p && n + 1 < sizeof gTakenReason; ++p)
        gTakenReason[n++] = (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F) ? '?' : *p;
    gTakenReason[n] = 0;
    ::unsetenv(kHandBackVariable);
    return gTakenReason;
}
