#include "calls/caller_gate.h"

void CallerGate::ask(uint64_t now_ms)
{
    if (deadline_ms_ == 0)
        deadline_ms_ = now_ms + uint64_t(wait_ms_);
}

int32_t CallerGate::feed(const uint8_t* bytes, int32_t count)
{
    for (int32_t i = 0; i < count; ++i) {
        if (state_ != State::Waiting)
            return i;
        if (bytes[i] == ESC) {
            if (after_esc_)
                state_ = State::Passed;
            after_esc_ = true;
            continue;
        }
        // "Twice" means in a row: anything between the two starts again.
        after_esc_ = false;
        if (++others_ > OTHER_BYTES_LIMIT)
            state_ = State::Failed;
    }
    return count;
}

CallerGate::State CallerGate::check_time(uint64_t now_ms)
{
    if (state_ == State::Waiting && deadline_ms_ != 0 && now_ms >= deadline_ms_)
        state_ = State::Failed;
    return state_;
}
