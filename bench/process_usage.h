// CPU time, resident memory and thread count of a running process, read
// from /proc.
#pragma once

#include <sys/types.h>

struct ProcessUsage {
    bool ok = false;
    double cpu_seconds = 0;  // user + system
    long rss_kb = 0;
    int threads = 0;
};

ProcessUsage read_process_usage(pid_t pid);

// CPU use over a stretch of wall time, as a share of one core (1.0 = one
// core busy throughout), with the memory at its end.
struct UsageWindow {
    bool ok = false;  // the process was there at both ends
    double core_share = 0;
    long rss_kb = 0;
    int threads = 0;
};

class UsageMeter {
public:
    explicit UsageMeter(pid_t pid);
    UsageWindow finish() const;

private:
    pid_t pid_;
    ProcessUsage start_;
    double start_wall_;
};
