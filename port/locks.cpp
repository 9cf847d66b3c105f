#include "port/locks.h"

#include <system_error>

int Mutex::lock()
{
    try {
        handle_.lock();
    } catch (const std::system_error&) {
        return -1;
    }
    return 0;
}

int Mutex::unlock()
{
    // std::recursive_mutex gives no way to ask who holds it; unlocking a
    // mutex this thread does not hold is a programming error we must not make.
    handle_.unlock();
    return 0;
}

GuardedFlag::GuardedFlag(bool initial) : value_(initial) {}

bool GuardedFlag::get()
{
    MutexHold hold(lock_);
    return value_;
}

void GuardedFlag::set(bool value)
{
    MutexHold hold(lock_);
    value_ = value;
}
