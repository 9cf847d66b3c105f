// Mutex and GuardedFlag: the locking kit every shared object embeds.
#pragma once

#include <mutex>

// A recursive lock waited on without a time limit. The holder may lock it
// again and must unlock it as often.
class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // 0 once held; callers do not act on the result.
    int lock();
    // 0 when released. Only the holder may unlock.
    int unlock();

private:
    std::recursive_mutex handle_;
};

// A boolean behind its own Mutex. get and set take no other lock, so a flag
// may be used while any other lock is held.
class GuardedFlag {
public:
    explicit GuardedFlag(bool initial);
    GuardedFlag(const GuardedFlag&) = delete;
    GuardedFlag& operator=(const GuardedFlag&) = delete;

    bool get();
    void set(bool value);

private:
    Mutex lock_;
    bool value_;
};

// Holds a Mutex for the lifetime of a scope.
class MutexHold {
public:
    explicit MutexHold(Mutex& m) : m_(m) { m_.lock(); }
    ~MutexHold() { m_.unlock(); }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

private:
    Mutex& m_;
};
