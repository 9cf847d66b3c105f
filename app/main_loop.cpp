#include "app/main_loop.h"

#include <algorithm>

#include "app/service_status.h"
#include "console/console_input.h"
#include "port/clock.h"
#include "port/event_wait.h"
#include "port/running_flag.h"
#include "stats/statistics_board.h"
#include "calls/call_table.h"

void MainLoop::run()
{
    while (running_flag.get())
        pass();
}

void MainLoop::pass(int longest_wait_ms)
{
    const uint64_t start = performance_ticks();
    int due_ms = calls_.serve();
    const bool was_running = running_flag.get();
    console_poll();
    stats_board.update([&](StatusFigures& f) { f.poll_ticks = performance_ticks() - start; });
    // F3 ends the loop now, not after a wait.
    if (was_running && !running_flag.get())
        return;

    const int console_ms = console_ms_until_due();
    if (console_ms >= 0)
        due_ms = std::min(due_ms, console_ms);
    const int service_ms = service_ ? service_->ms_until_due() : -1;
    if (service_ms >= 0)
        due_ms = std::min(due_ms, service_ms);
    if (longest_wait_ms >= 0)
        due_ms = std::min(due_ms, longest_wait_ms);
    // A caller waiting to be accepted, a key, or a signal from a session,
    // a link or a lookup ends the wait; so does the time.
    int descriptors[CallTable::MAX_LISTENERS + 2];
    int n = calls_.descriptors(descriptors, CallTable::MAX_LISTENERS + 1);
    descriptors[n++] = console_input_descriptor();
    wait_for_any_readable(descriptors, n, due_ms);
    if (service_)
        service_->poll();
}
