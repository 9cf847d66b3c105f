#include "port/worker_thread.h"

#include <atomic>
#include <gtest/gtest.h>

#include "port/locks.h"
#include "port/clock.h"

namespace {

struct Looper {
    Mutex run_mutex;
    GuardedFlag keep_going{true};
    std::atomic<int> passes{0};
    std::atomic<bool> finished{false};
};

int loop_routine(void* p)
{
    auto* l = static_cast<Looper*>(p);
    l->run_mutex.lock();
    while (l->keep_going.get()) {
        ++l->passes;
        sleep_ms(1);
    }
    l->finished = true;
    l->run_mutex.unlock();
    return 0;
}

int return_at_once(void*) { return 0; }

TEST(WorkerThread, StopHandshakeRightAfterStartWaitsForTheLoopToEnd)
{
    for (int i = 0; i < 20; ++i) {
        Looper l;
        auto w = WorkerThread::start(loop_routine, &l, &l.run_mutex);
        ASSERT_NE(w, nullptr);
        l.keep_going.set(false);
        l.run_mutex.lock();
        l.run_mutex.unlock();
        EXPECT_TRUE(l.finished) << "handshake returned before the loop ended, round " << i;
        release_worker(w);
    }
}

TEST(WorkerThread, IsRunningUntilTheRoutineReturnsAndCountTracksObjects)
{
    int before = live_worker_count;
    Looper l;
    auto w = WorkerThread::start(loop_routine, &l, &l.run_mutex);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(live_worker_count, before + 1);
    EXPECT_TRUE(w->is_running());
    l.keep_going.set(false);
    for (int i = 0; i < 5000 && w->is_running(); ++i)
        sleep_ms(1);
    EXPECT_FALSE(w->is_running());
    // An ended thread is still counted until its object is closed.
    EXPECT_EQ(live_worker_count, before + 1);
    release_worker(w);
    EXPECT_EQ(live_worker_count, before);
}

TEST(WorkerThread, ReleasingARunningWorkerNeitherWaitsNorBreaksTheThread)
{
    int before = live_worker_count;
    auto* l = new Looper;
    auto w = WorkerThread::start(loop_routine, l, &l->run_mutex);
    ASSERT_NE(w, nullptr);
    release_worker(w); // the thread keeps running on its own shared state
    EXPECT_EQ(live_worker_count, before);
    int seen = l->passes;
    for (int i = 0; i < 5000 && l->passes == seen; ++i)
        sleep_ms(1);
    EXPECT_GT(l->passes, seen);
    l->keep_going.set(false);
    l->run_mutex.lock();
    l->run_mutex.unlock();
    delete l;
}

TEST(WorkerThread, FailedStartPrintsOnceAndLeavesTheCountAlone)
{
    int before = live_worker_count;
    for (bool task : {false, true}) {
        WorkerThread::fail_next_start_for_testing();
        testing::internal::CaptureStdout();
        auto w = task ? WorkerThread::start_task(return_at_once, nullptr) : WorkerThread::start(return_at_once, nullptr);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(w, nullptr);
        EXPECT_EQ(out, "error creating thread\n");
        EXPECT_EQ(live_worker_count, before) << "task " << task;
    }
    std::unique_ptr<WorkerThread> none;
    release_worker(none); // a null worker is skipped
}

TEST(Locks, MutexIsRecursiveAndNeedsAsManyUnlocks)
{
    Mutex m;
    EXPECT_EQ(m.lock(), 0);
    EXPECT_EQ(m.lock(), 0);
    EXPECT_EQ(m.unlock(), 0);
    std::atomic<bool> got{false};
    std::thread other([&] {
        m.lock();
        got = true;
        m.unlock();
    });
    sleep_ms(20);
    EXPECT_FALSE(got) << "one unlock of two released the mutex";
    m.unlock();
    other.join();
    EXPECT_TRUE(got);
}

TEST(Locks, GuardedFlagKeepsItsValue)
{
    GuardedFlag f(false);
    EXPECT_FALSE(f.get());
    f.set(true);
    EXPECT_TRUE(f.get());
}

}
