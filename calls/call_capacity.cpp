#include "calls/call_capacity.h"

#include <algorithm>

int fit_max_calls(int configured, const ProcessLimits& limits, std::string& why)
{
    why.clear();
    if (configured <= 0)
        return configured;
    struct Bound {
        long long limit;
        int reserve;
        int per_call;
        const char* what;
    };
    const Bound bounds[] = {
        {limits.descriptors, RESERVED_DESCRIPTORS, DESCRIPTORS_PER_CALL, "descriptors allowed"},
        {limits.user_threads, RESERVED_THREADS, THREADS_PER_CALL, "threads allowed for the user"},
        {limits.system_threads, RESERVED_THREADS, THREADS_PER_CALL, "threads allowed on the system"},
    };
    int fitted = configured;
    const Bound* tightest = nullptr;
    for (const Bound& bound : bounds) {
        if (bound.limit < 0)
            continue;
        // A limit that leaves nothing past the reserve still lets one call
        // in: 0 would mean no limit at all.
        const long long carried = std::max<long long>(1, (bound.limit - bound.reserve) / bound.per_call);
        if (carried < fitted) {
            fitted = int(carried);
            tightest = &bound;
        }
    }
    if (tightest)
        why = "Access MaxCalls lowered from " + std::to_string(configured) + " to " + std::to_string(fitted) + ": " +
              std::to_string(tightest->limit) + " " + tightest->what;
    return fitted;
}
