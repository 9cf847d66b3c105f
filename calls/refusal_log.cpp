#include "calls/refusal_log.h"

#include <iterator>

namespace {
// In the order of RefusalReason.
constexpr const char* SHORT_REASONS[] = {
    "banned", "at the limit", "too fast", "denied", "not allowed", "too many callers", "not started",
    "did not pass the gate",
};
static_assert(std::size(SHORT_REASONS) == size_t(RefusalReason::Count));
}

bool RefusalLog::any(const Counts& counts)
{
    for (uint64_t n : counts)
        if (n > 0)
            return true;
    return false;
}

void RefusalLog::end_second_if_over(uint64_t now_ms)
{
    if (!in_second_ || now_ms < second_start_ms_ + SECOND_MS)
        return;
    for (size_t i = 0; i < held_.size(); ++i)
        untold_[i] += held_[i];
    held_ = {};
    in_second_ = false;
}

bool RefusalLog::record(RefusalReason reason, uint64_t now_ms)
{
    end_second_if_over(now_ms);
    if (!in_second_) {
        in_second_ = true;
        second_start_ms_ = now_ms;
        lines_ = 0;
    }
    if (lines_ < LINES_PER_SECOND) {
        ++lines_;
        return true;
    }
    ++held_[size_t(reason)];
    return false;
}

std::string RefusalLog::take_summary(uint64_t now_ms)
{
    end_second_if_over(now_ms);
    if (!any(untold_))
        return {};
    uint64_t total = 0;
    std::string reasons;
    for (size_t i = 0; i < untold_.size(); ++i) {
        if (untold_[i] == 0)
            continue;
        total += untold_[i];
        if (!reasons.empty())
            reasons += ", ";
        reasons += std::to_string(untold_[i]) + " " + SHORT_REASONS[i];
    }
    untold_ = {};
    return "Refused " + std::to_string(total) + (total == 1 ? " more caller" : " more callers") +
           " in the last second: " + reasons;
}

int RefusalLog::ms_until_summary(uint64_t now_ms) const
{
    if (any(untold_))
        return 0;
    if (!in_second_ || !any(held_))
        return -1;
    const uint64_t due = second_start_ms_ + SECOND_MS;
    return due > now_ms ? int(due - now_ms) : 0;
}
