#include "platform/clock/clock.h"

#include <chrono>
#include <ctime>

long long monotonicMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t calendarSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

double calendarSecondsPrecise() {
    using namespace std::chrono;
    return static_cast<double>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count()) / 1000.0;
}
