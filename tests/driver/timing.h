// The clock the tests and benchmarks measure with, and the figures drawn from
// its readings.
#pragma once

#include <chrono>
#include <vector>

namespace driver {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
using namespace std::chrono_literals;

// Waits return as soon as their condition holds, so the limits can be
// generous: a ThreadSanitizer build runs several times slower.
inline constexpr Ms kWait{15000};

// The steady clock in nanoseconds, for times kept in atomics and tables.
long long nowNs();
// Nanoseconds as milliseconds, for printing.
inline double ms(long long ns) { return static_cast<double>(ns) / 1e6; }
// What is left of the time until end; 0 once it has passed.
Ms timeLeft(Clock::time_point end);

// The value at fraction q (0 the least, 0.5 the median, 1 the greatest) of
// the values, or 0 where there are none.
long long percentile(std::vector<long long> values, double q);

}  // namespace driver
