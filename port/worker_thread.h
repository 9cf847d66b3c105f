// WorkerThread: one started background thread, and the count of live ones.
#pragma once

#include <atomic>
#include <memory>

#include "port/locks.h"

// Thread objects constructed and not yet closed (not threads still running);
// a task's thread (start_task) counts exactly while it runs.
extern std::atomic<int> live_worker_count;

using WorkerRoutine = int (*)(void* owner);

class WorkerThread {
public:
    // Starts routine(owner) on a new thread. When run_mutex is given, the new
    // thread takes it before the routine runs and releases it after the
    // routine returns, and start returns only once it is held: a stop
    // handshake (set the flag, lock and unlock run_mutex) begun right after
    // start is then a true wait. Returns null, after printing
    // "error creating thread", when no thread can be made.
    // name (at most 15 characters) is what top -H and perf show for it.
    static std::unique_ptr<WorkerThread> start(WorkerRoutine routine, void* owner,
                                               Mutex* run_mutex = nullptr, const char* name = nullptr);

    // Starts a single task, such as a lookup, that its owner may stop
    // watching: its thread is counted while it runs, whether or not its
    // object is still held, and counted out as soon as the routine returns.
    static std::unique_ptr<WorkerThread> start_task(WorkerRoutine routine, void* owner,
                                                    const char* name = nullptr);

    // True until the routine has returned.
    bool is_running() const;

    // Forgets the thread without stopping or waiting for it; counted once.
    void close();

    ~WorkerThread();

    // Test hooks.
    // Makes the next start fail as if the system refused a thread.
    static void fail_next_start_for_testing();

private:
    struct Shared;
    WorkerThread();
    static std::unique_ptr<WorkerThread> launch(WorkerRoutine routine, void* owner, Mutex* run_mutex,
                                                bool counted_while_running, const char* name);
    std::shared_ptr<Shared> shared_;
    bool closed_ = false;
};

// Names the calling thread for top -H and perf; null leaves it as it is.
void name_this_thread(const char* name);

// Closes and deletes a worker, leaving worker null; null is ignored. Never
// waits for the thread.
void release_worker(std::unique_ptr<WorkerThread>& worker);

// The stop handshake with a worker started with a run mutex: the flag it
// watches is set to stop_value, the worker woken from its wait, and the run
// mutex taken and released, so that the routine has returned when this
// does (at once when it never ran).
template <typename Wake>
void stop_worker(GuardedFlag& flag, bool stop_value, Mutex& run_mutex, Wake wake)
{
    flag.set(stop_value);
    wake();
    run_mutex.lock();
    run_mutex.unlock();
}
