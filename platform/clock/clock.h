// The clocks: one that never goes back, for deadlines, pauses and the times a
// state carries (it counts on across an upgrade in place, which keeps the
// boot); and the calendar, for the moment a song started.
#pragma once

#include <cstdint>

// Milliseconds on a clock that never goes back.
long long monotonicMs();
// Seconds since 1970-01-01 00:00 UTC.
std::int64_t calendarSeconds();
// The same to the millisecond, for the start time a scraper reads.
double calendarSecondsPrecise();
