// RefusalLog: keeps the refusal lines on standard output (the journal,
// under a service manager) to a few a second however many callers are
// turned away; the rest are told as one summary line a second. Takes the
// time in; prints nothing itself.
#pragma once

#include <array>
#include <cstdint>
#include <string>

enum class RefusalReason {
    Banned,
    AtTheLimit,     // calls at once from one address
    TooFast,        // past the rate of one address
    Denied,
    NotAllowed,
    TooManyCallers, // calls at once over all addresses
    NotStarted,     // no descriptor or thread for the session
    GateNotPassed,  // no ESC ESC in time, too many other bytes, or gone
    Count,
};

class RefusalLog {
public:
    static constexpr int LINES_PER_SECOND = 10;
    static constexpr uint64_t SECOND_MS = 1000;

    // A caller refused at now_ms (monotonic): true when its own line is to
    // be written, false when it is only counted for the summary.
    bool record(RefusalReason reason, uint64_t now_ms);
    // Once the second in which lines were held back is over, the line that
    // says how many and why (without a newline), and the count starts
    // again; otherwise empty.
    std::string take_summary(uint64_t now_ms);
    // How long until take_summary has a line; -1 when none is pending.
    int ms_until_summary(uint64_t now_ms) const;

private:
    using Counts = std::array<uint64_t, size_t(RefusalReason::Count)>;
    // Ends the second once it is over: what it held back awaits the summary.
    void end_second_if_over(uint64_t now_ms);
    static bool any(const Counts& counts);

    bool in_second_ = false;
    uint64_t second_start_ms_ = 0;
    int lines_ = 0;
    Counts held_{};
    // Held back in a second that is over, not yet summed up.
    Counts untold_{};
};
