// The service manager's notification socket, through libsystemd.
#include "port/service_notify.h"

#include <cstdlib>
#include <systemd/sd-daemon.h>

bool service_manager_listening()
{
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket && socket[0];
}

void service_notify(const char* state)
{
    if (service_manager_listening())
        sd_notify(0, state);
}

uint64_t service_watchdog_usec()
{
    uint64_t usec = 0;
    return sd_watchdog_enabled(0, &usec) > 0 ? usec : 0;
}
