#include "net/stop_signal.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <thread>

bool watchStopSignals(void (*onStop)(void*), void* context) {
    // A console whose reader went away must not end the server: writes to it
    // fail instead.
    signal(SIGPIPE, SIG_IGN);
    // A console handed over non-blocking (a service manager opens its FIFOs
    // that way) would read as ended the first time no command is waiting.
    int inFlags = fcntl(0, F_GETFL);
    if (inFlags >= 0 && (inFlags & O_NONBLOCK) != 0) fcntl(0, F_SETFL, inFlags & ~O_NONBLOCK);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    // Threads started later inherit the mask, so only sigwait sees the signals.
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
    std::thread([set, onStop, context] {
        int sig = 0;
        while (sigwait(&set, &sig) != 0) {
        }
        onStop(context);
    }).detach();
    return true;
}

void endProcess(int code) { std::_Exit(code); }
