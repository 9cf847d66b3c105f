// CallSignal: how a call's session, link and name lookup tell the
// dispatcher that the call has something to do, and wake it.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include "port/wake_event.h"

class CallSignal {
public:
    explicit CallSignal(std::shared_ptr<WakeEvent> wake) : wake_(std::move(wake)) {}

    // Safe from any thread.
    void raise()
    {
        news_.store(true);
        if (wake_)
            wake_->signal();
    }
    // True once per raise (and at first): the call wants a pass.
    bool take() { return news_.exchange(false); }

private:
    std::atomic<bool> news_{true};
    std::shared_ptr<WakeEvent> wake_;
};
