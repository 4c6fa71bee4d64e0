// CPU time spent by one thread, for figures such as the relay benchmark's.
#pragma once

#include <thread>

// Nanoseconds of CPU the thread has used so far, or -1 where the platform
// cannot tell.
long long threadCpuNs(std::thread& thread);
