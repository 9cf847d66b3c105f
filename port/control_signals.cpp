// Replaces SetConsoleCtrlHandler and its control events with sigwait on a
// thread of our own, so no lock is ever taken in an asynchronous handler.
#include "port/control_signals.h"

#include <atomic>
#include <csignal>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace {
std::atomic<bool> interrupt_ignored{false};
std::atomic<bool> handling{true};
// Held while the handler runs, so that stopping waits for a handler already
// under way; never destroyed, as the waiting thread outlives main.
std::mutex& handler_lock = *new std::mutex;
std::atomic<bool> started{false};
std::atomic<bool> waiter_ready{false};
pthread_t waiter;

// A thread that did not block the control signals (one a runtime started
// before main) may still be handed one; pass it on to the waiting thread.
// One that arrives before the waiting thread exists is remembered for it.
std::atomic<unsigned> early_signals{0};

void forward_to_waiter(int signal)
{
    if (waiter_ready)
        pthread_kill(waiter, signal);
    else
        early_signals |= 1u << signal;
}

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
    struct sigaction action{};
    action.sa_handler = forward_to_waiter;
    sigfillset(&action.sa_mask);
    for (int s : {SIGTERM, SIGHUP, SIGQUIT, SIGINT})
        sigaction(s, &action, nullptr);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void start_control_signal_thread(bool (*handler)(int))
{
    if (started.exchange(true))
        return;
    std::thread([handler] {
        waiter = pthread_self();
        pthread_setname_np(waiter, "orva-signals");
        waiter_ready = true;
        unsigned early = early_signals.exchange(0);
        for (int s = 1; s < 32; ++s)
            if (early & (1u << s))
                pthread_kill(waiter, s);
        sigset_t set = control_set();
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0)
                continue;
            std::lock_guard<std::mutex> hold(handler_lock);
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
    std::lock_guard<std::mutex> hold(handler_lock);
    handling = false;
}
