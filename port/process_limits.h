// What the system lets this process hold: descriptors and threads.
#pragma once

// -1 where there is no limit or it could not be read.
struct ProcessLimits {
    // RLIMIT_NOFILE, the soft limit: descriptors open at once.
    long long descriptors = -1;
    // RLIMIT_NPROC, the soft limit: processes and threads of this user.
    long long user_threads = -1;
    // The kernel's threads-max: threads on the whole system.
    long long system_threads = -1;
};

ProcessLimits read_process_limits();
