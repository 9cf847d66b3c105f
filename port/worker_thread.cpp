#include "port/worker_thread.h"

#include <cstdio>
#include <pthread.h>
#include <future>
#include <system_error>
#include <thread>

std::atomic<int> live_worker_count{0};

namespace {
std::atomic<bool> fail_next_start{false};
}

// The thread keeps its own reference to this, so a released WorkerThread
// never leaves the thread writing freed memory.
struct WorkerThread::Shared {
    std::atomic<bool> active{true};
    // Still in live_worker_count; whoever counts it out clears this first.
    std::atomic<bool> counted{true};
    // Counted out by the thread as it ends rather than by close; fixed
    // before the thread starts.
    bool counted_while_running = false;
};

WorkerThread::WorkerThread() : shared_(std::make_shared<Shared>())
{
    live_worker_count.fetch_add(1);
}

WorkerThread::~WorkerThread()
{
    close();
}

void WorkerThread::fail_next_start_for_testing()
{
    fail_next_start = true;
}

std::unique_ptr<WorkerThread> WorkerThread::start(WorkerRoutine routine, void* owner, Mutex* run_mutex,
                                                  const char* name)
{
    return launch(routine, owner, run_mutex, false, name);
}

std::unique_ptr<WorkerThread> WorkerThread::start_task(WorkerRoutine routine, void* owner, const char* name)
{
    return launch(routine, owner, nullptr, true, name);
}

void name_this_thread(const char* name)
{
    if (name)
        pthread_setname_np(pthread_self(), name);
}

std::unique_ptr<WorkerThread> WorkerThread::launch(WorkerRoutine routine, void* owner, Mutex* run_mutex,
                                                   bool counted_while_running, const char* name)
{
    std::unique_ptr<WorkerThread> worker(new WorkerThread());
    worker->shared_->counted_while_running = counted_while_running;
    std::promise<void> holding;
    std::future<void> held = holding.get_future();
    try {
        if (fail_next_start.exchange(false))
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        std::thread thread([routine, owner, run_mutex, name, shared = worker->shared_,
                            holding = std::move(holding)]() mutable {
            name_this_thread(name);
            if (run_mutex)
                run_mutex->lock();
            holding.set_value();
            routine(owner);
            if (run_mutex)
                run_mutex->unlock();
            if (shared->counted_while_running && shared->counted.exchange(false))
                live_worker_count.fetch_sub(1);
            shared->active = false;
        });
        thread.detach();
    } catch (const std::system_error&) {
        std::printf("error creating thread\n");
        // No thread will count it out: closing the object does.
        worker->shared_->counted_while_running = false;
        return nullptr;
    }
    // The worker holds its run mutex by now, which is all a stop handshake
    // needs; no head start is given on top.
    held.wait();
    return worker;
}

bool WorkerThread::is_running() const
{
    return shared_->active.load();
}

void WorkerThread::close()
{
    if (closed_)
        return;
    closed_ = true;
    if (!shared_->counted_while_running && shared_->counted.exchange(false))
        live_worker_count.fetch_sub(1);
}

void release_worker(std::unique_ptr<WorkerThread>& worker)
{
    worker.reset();
}
