// MainLoop: the program's one wait. Each pass serves the calls, the console
// and the service manager, then waits until one of them has something to
// do or is due.
#pragma once

class ServiceStatus;
class CallTable;

class MainLoop {
public:
    // service may be null (no service manager to tell).
    MainLoop(CallTable& calls, ServiceStatus* service) : calls_(calls), service_(service) {}

    // Passes until running_flag is cleared.
    void run();
    // One pass; its wait lasts at most longest_wait_ms (-1: no limit of the
    // caller's own).
    void pass(int longest_wait_ms = -1);

private:
    CallTable& calls_;
    ServiceStatus* service_;
};
