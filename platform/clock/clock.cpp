#include "platform/clock/clock.h"

#include <chrono>
#include <ctime>

long long monotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t calendarSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }
