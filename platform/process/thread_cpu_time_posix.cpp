#include "platform/process/thread_cpu_time.h"

#include <pthread.h>
#include <time.h>

long long threadCpuNs(std::thread& thread) {
    clockid_t clock;
    if (::pthread_getcpuclockid(thread.native_handle(), &clock) != 0) return -1;
    timespec ts{};
    if (::clock_gettime(clock, &ts) != 0) return -1;
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}
