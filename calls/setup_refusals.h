// SetupRefusals: callers refused with a text whose transport must be set up
// before it can carry one (SSH: the key exchange and the shell). Each is
// told on a thread of its own, at most SLOTS at once, and each for no
// longer than its transport's own setup limit; past that, a refused caller
// is closed without the text. The main loop never waits on one.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "calls/caller_transport.h"
#include "port/locks.h"
#include "port/wake_event.h"
#include "port/worker_thread.h"

class SetupRefusals {
public:
    static constexpr int SLOTS = 4;

    SetupRefusals() = default;
    ~SetupRefusals() { stop(); }
    SetupRefusals(const SetupRefusals&) = delete;
    SetupRefusals& operator=(const SetupRefusals&) = delete;

    // Takes the caller to be told text once its transport is ready, then
    // closed. False (the caller left with the one who asked) when every
    // slot is busy or no thread could be had.
    bool take(std::unique_ptr<CallerTransport>& caller, const char* text);
    // Ends every refusal under way and closes its caller; waits for the
    // threads, each woken at once.
    void stop();

private:
    struct Slot {
        std::unique_ptr<CallerTransport> caller;
        std::string text;
        std::unique_ptr<WorkerThread> thread;
        Mutex run_lock;
        GuardedFlag running{false};
        WakeEvent wake;
    };
    static int tell(void* slot);

    std::array<Slot, SLOTS> slots_;
};
