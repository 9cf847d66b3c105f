// Replaces SetConsoleCtrlHandler and its control events with sigwait on a
// thread of our own, so no lock is ever taken in an asynchronous handler.
#include "port/control_signals.h"

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <thread>

namespace {
std::atomic<bool> interrupt_ignored{false};
std::atomic<bool> handling{true};
std::atomic<bool> started{false};

sigset_t control_set()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGQUIT);
    sigaddset(&set, SIGINT);
    return set;
}
}

void block_control_signals()
{
    sigset_t set = control_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void start_control_signal_thread(bool (*handler)(int))
{
    if (started.exchange(true))
        return;
    std::thread([handler] {
        sigset_t set = control_set();
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0)
                continue;
            if (!handling || (signal == SIGINT && interrupt_ignored))
                continue;
            handler(signal);
        }
    }).detach();
}

void set_interrupt_ignored(bool ignored)
{
    interrupt_ignored = ignored;
}

void stop_control_signal_handling()
{
    handling = false;
}
