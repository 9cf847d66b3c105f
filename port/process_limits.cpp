#include "port/process_limits.h"

#include <cstdio>
#include <sys/resource.h>

namespace {
long long soft_limit(int resource)
{
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return -1;
    return (long long)limit.rlim_cur;
}

long long kernel_threads_max()
{
    FILE* f = std::fopen("/proc/sys/kernel/threads-max", "re");
    if (!f)
        return -1;
    long long value = -1;
    if (std::fscanf(f, "%lld", &value) != 1 || value <= 0)
        value = -1;
    std::fclose(f);
    return value;
}
}

ProcessLimits read_process_limits()
{
    ProcessLimits limits;
    limits.descriptors = soft_limit(RLIMIT_NOFILE);
    limits.user_threads = soft_limit(RLIMIT_NPROC);
    limits.system_threads = kernel_threads_max();
    return limits;
}
