// The service manager's notification socket (systemd's sd_notify): readiness,
// status text, stopping and watchdog pings. Without NOTIFY_SOCKET in the
// environment nothing is sent.
#pragma once

#include <cstdint>

// True when a service manager listens for notifications.
bool service_manager_listening();

// Sends one notification, such as "READY=1" or "STATUS=..."; does nothing
// without a service manager.
void service_notify(const char* state);

// The watchdog interval the service manager set for this process in
// microseconds, or 0 when it expects no pings.
uint64_t service_watchdog_usec();
