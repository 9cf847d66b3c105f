// Clocks and sleeping: the performance counter, process times, system time
// and sleeping.
#pragma once

#include <cstdint>

// Sleeps about ms milliseconds (nanosleep; resumes after signals).
void sleep_ms(int ms);

// Monotonic performance counter in ticks of 1 ns.
uint64_t performance_ticks();
constexpr uint64_t PERFORMANCE_TICKS_PER_SECOND = 1000000000ull;
// The same clock in milliseconds, for timers.
inline uint64_t monotonic_ms() { return performance_ticks() / (PERFORMANCE_TICKS_PER_SECOND / 1000); }

// Wall clock in whole seconds since the epoch.
int64_t wall_seconds();
// Milliseconds until wall_seconds next changes (1 to 1000), from the same
// clock.
int ms_to_next_wall_second();

// Wall clock, and this process's kernel and user CPU time, in 100 ns units.
uint64_t wall_time_100ns();
struct ProcessTimes {
    uint64_t kernel_100ns;
    uint64_t user_100ns;
};
ProcessTimes process_times();
// Wall-clock time at which this process started, in 100 ns units.
uint64_t process_start_time_100ns();
