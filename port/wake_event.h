// WakeEvent: lets one thread end another's wait in poll(2) (an eventfd).
#pragma once

class WakeEvent {
public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    // Safe from a signal handler: one write(2).
    void signal();
    // Takes back every signal given so far.
    void clear();
    int descriptor() const { return fd_; }

private:
    int fd_;
};
