#include "app/service_status.h"

#include <cstdio>

#include "stats/statistics_board.h"
#include "port/clock.h"
#include "port/service_notify.h"

namespace {
constexpr uint64_t STATUS_EVERY_NS = PERFORMANCE_TICKS_PER_SECOND;
}

ServiceStatus::ServiceStatus()
    : listening_(service_manager_listening()),
      // Pinging at half the interval leaves the other half for a slow pass.
      ping_every_ns_(service_watchdog_usec() * 1000 / 2)
{
}

void ServiceStatus::ready()
{
    if (!listening_)
        return;
    service_notify("READY=1");
    uint64_t now = performance_ticks();
    last_ping_ = now;
    send_status();
    last_status_ = now;
}

void ServiceStatus::poll()
{
    if (!listening_)
        return;
    uint64_t now = performance_ticks();
    if (ping_every_ns_ && now - last_ping_ >= ping_every_ns_) {
        service_notify("WATCHDOG=1");
        last_ping_ = now;
    }
    if (now - last_status_ >= STATUS_EVERY_NS) {
        send_status();
        last_status_ = now;
    }
}

int ServiceStatus::ms_until_due() const
{
    if (!listening_)
        return -1;
    const uint64_t now = performance_ticks();
    uint64_t due = last_status_ + STATUS_EVERY_NS;
    if (ping_every_ns_ && last_ping_ + ping_every_ns_ < due)
        due = last_ping_ + ping_every_ns_;
    if (due <= now)
        return 0;
    // Rounded up, so the wait never ends just short of the moment.
    return int((due - now + 999999) / 1000000);
}

void ServiceStatus::stopping()
{
    if (listening_)
        service_notify("STOPPING=1");
}

void ServiceStatus::send_status()
{
    const StatusFigures figures = stats_board.figures();
    int callers = figures.callers;
    int lines = figures.lines_connected();

    char text[80];
    std::snprintf(text, sizeof text, "STATUS=Callers: %d, lines in use: %d", callers, lines);
    service_notify(text);
}
