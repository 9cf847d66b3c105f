// Replaces Sleep, the performance counter, GetProcessTimes and
// GetSystemTimeAsFileTime with nanosleep, CLOCK_MONOTONIC, getrusage and
// CLOCK_REALTIME.
#include "port/clock.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <unistd.h>

void sleep_ms(int ms)
{
    timespec want{ms / 1000, (ms % 1000) * 1000000L};
    timespec left{};
    while (nanosleep(&want, &left) != 0 && errno == EINTR)
        want = left;
}

uint64_t performance_ticks()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

// The waits to the next second and the checks of which second it is read
// this one clock: time(2) reads a coarser one that turns some milliseconds
// later, so a wait ending at the turn could still see the old second.
int64_t wall_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec);
}

int ms_to_next_wall_second()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    // Rounded up: a wait never ends before the turn.
    return int((1000000000L - ts.tv_nsec + 999999) / 1000000);
}

uint64_t wall_time_100ns()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 10000000ull + uint64_t(ts.tv_nsec) / 100;
}

static uint64_t timeval_100ns(const timeval& tv)
{
    return uint64_t(tv.tv_sec) * 10000000ull + uint64_t(tv.tv_usec) * 10;
}

ProcessTimes process_times()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return {timeval_100ns(usage.ru_stime), timeval_100ns(usage.ru_utime)};
}

uint64_t process_start_time_100ns()
{
    // Field 22 of /proc/self/stat is the start time in clock ticks after boot.
    FILE* f = std::fopen("/proc/self/stat", "r");
    if (!f)
        return wall_time_100ns();
    char buf[1024];
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    const char* p = nullptr;
    for (const char* q = buf; *q; ++q)
        if (*q == ')')
            p = q; // the command name may itself hold ')'
    if (!p)
        return wall_time_100ns();
    unsigned long long start_ticks = 0;
    int field = 2;
    for (const char* q = p + 1; *q; ++q) {
        if (*q == ' ') {
            ++field;
            if (field == 22) {
                std::sscanf(q + 1, "%llu", &start_ticks);
                break;
            }
        }
    }
    long hz = sysconf(_SC_CLK_TCK);
    timespec up{};
    clock_gettime(CLOCK_BOOTTIME, &up);
    uint64_t now = wall_time_100ns();
    uint64_t uptime = uint64_t(up.tv_sec) * 10000000ull + uint64_t(up.tv_nsec) / 100;
    uint64_t since_boot = hz > 0 ? start_ticks * 10000000ull / uint64_t(hz) : 0;
    return now - uptime + since_boot;
}
