// What ORVA tells its service manager: ready once it listens, the callers
// and lines in use once a second, stopping when shutdown begins, and
// watchdog pings from the main loop so that a stuck loop is noticed.
#pragma once

#include <cstdint>

class ServiceStatus {
public:
    // Reads whether a service manager listens and its watchdog interval.
    ServiceStatus();

    void ready();
    // Every main-loop pass: cheap unless a status line or a ping is due.
    void poll();
    // Milliseconds until poll next has something to send; -1 for never.
    int ms_until_due() const;
    void stopping();

private:
    void send_status();

    bool listening_;
    uint64_t ping_every_ns_;
    uint64_t last_ping_ = 0;
    uint64_t last_status_ = 0;
};
