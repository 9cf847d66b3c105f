// WakeEvent over an eventfd.
#include "port/wake_event.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

WakeEvent::WakeEvent() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeEvent::~WakeEvent()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void WakeEvent::signal()
{
    uint64_t one = 1;
    ssize_t n = ::write(fd_, &one, sizeof one);
    (void)n; // a full counter is still a signal
}

void WakeEvent::clear()
{
    uint64_t value;
    ssize_t n = ::read(fd_, &value, sizeof value);
    (void)n;
}
