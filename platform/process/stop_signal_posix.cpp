#include "platform/process/stop_signal.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <thread>

namespace {

sigset_t controlSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR2);
    return set;
}

}  // namespace

void holdControlSignals() {
    // A console whose reader went away must not end the server: writes to it
    // fail instead.
    signal(SIGPIPE, SIG_IGN);
    // A console handed over non-blocking (a service manager opens its FIFOs
    // that way) would read as ended the first time no command is waiting.
    int inFlags = fcntl(0, F_GETFL);
    if (inFlags >= 0 && (inFlags & O_NONBLOCK) != 0) fcntl(0, F_SETFL, inFlags & ~O_NONBLOCK);
    // A time limit that an upgrade's hand-back cut short may have fired on
    // the way: it must not end the program run again.
    signal(SIGALRM, SIG_IGN);
    // Threads started later inherit the mask, so only sigwait sees the signals.
    sigset_t set = controlSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool watchStopSignals(void (*onStop)(void*, StopRequest), void (*onUpgrade)(void*), void* context) {
    sigset_t set = controlSignals();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
    std::thread([set, onStop, onUpgrade, context] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            if (sig == SIGUSR2)
                onUpgrade(context);
            else
                onStop(context, sig == SIGTERM ? StopRequest::Terminate : StopRequest::Interrupt);
        }
    }).detach();
    return true;
}

void forgetUpgradeRequests() {
    sigset_t upgrade;
    sigemptyset(&upgrade);
    sigaddset(&upgrade, SIGUSR2);
    timespec now{0, 0};
    while (sigtimedwait(&upgrade, nullptr, &now) > 0) {
    }
}

void endProcess(int code) { std::_Exit(code); }
