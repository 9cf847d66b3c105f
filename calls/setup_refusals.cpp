#include "calls/setup_refusals.h"

#include "port/readiness.h"

bool SetupRefusals::take(std::unique_ptr<CallerTransport>& caller, const char* text)
{
    for (Slot& slot : slots_) {
        if (slot.thread && slot.thread->is_running())
            continue;
        // A finished slot's thread is done with its caller.
        release_worker(slot.thread);
        slot.caller = std::move(caller);
        slot.text = text;
        slot.wake.clear();
        slot.running.set(true);
        slot.thread = WorkerThread::start(tell, &slot, &slot.run_lock, "orva-refuse");
        if (slot.thread)
            return true;
        slot.running.set(false);
        caller = std::move(slot.caller);
        return false;
    }
    return false;
}

int SetupRefusals::tell(void* owner)
{
    Slot& slot = *static_cast<Slot*>(owner);
    const auto* text = reinterpret_cast<const uint8_t*>(slot.text.data());
    const int size = int(slot.text.size());
    int sent = 0;
    // The transport's own limit ends a setup that never finishes.
    while (slot.running.get()) {
        const int r = slot.caller->wait(false, sent < size, -1, slot.wake.descriptor());
        if (r & PollError)
            break;
        if (r & PollWritable) {
            const int n = slot.caller->send(text + sent, size - sent);
            if (n < 0)
                break;
            sent += n;
            if (sent == size) {
                slot.caller->finish();
                break;
            }
        }
    }
    slot.caller->close();
    return 0;
}

void SetupRefusals::stop()
{
    for (Slot& slot : slots_) {
        if (slot.thread)
            stop_worker(slot.running, false, slot.run_lock, [&] { slot.wake.signal(); });
        release_worker(slot.thread);
        if (slot.caller) {
            slot.caller->close();
            slot.caller.reset();
        }
    }
}
