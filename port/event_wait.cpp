#include "port/event_wait.h"

#include <poll.h>

void wait_for_any_readable(const int* descriptors, int count, int timeout_ms)
{
    constexpr int MOST = 8;
    pollfd p[MOST]{};
    int n = 0;
    for (int i = 0; i < count && n < MOST; ++i) {
        if (descriptors[i] < 0)
            continue;
        p[n].fd = descriptors[i];
        p[n].events = POLLIN;
        ++n;
    }
    if (n == 0 && timeout_ms < 0)
        timeout_ms = NO_DESCRIPTOR_WAIT_MS;
    // An interrupted wait simply ends early; the caller looks again.
    ::poll(p, nfds_t(n), timeout_ms);
}
