#include "app/worker_thread.h"

#include <cstdio>
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

std::unique_ptr<WorkerThread> WorkerThread::start(WorkerRoutine routine, void* owner, Mutex* run_mutex)
{
    std::unique_ptr<WorkerThread> worker(new WorkerThread());
    std::promise<void> holding;
    std::future<void> held = holding.get_future();
    try {
        if (fail_next_start.exchange(false))
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        std::thread thread([routine, owner, run_mutex, shared = worker->shared_,
                            holding = std::move(holding)]() mutable {
            if (run_mutex)
                run_mutex->lock();
            holding.set_value();
            routine(owner);
            if (run_mutex)
                run_mutex->unlock();
            shared->active = false;
        });
        thread.detach();
    } catch (const std::system_error&) {
        std::printf("error creating thread\n");
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
    live_worker_count.fetch_sub(1);
}

void release_worker(std::unique_ptr<WorkerThread>& worker)
{
    worker.reset();
}
