// PatternCheck: checks a byte stream against the test pattern '0' + i % 64
// and words what it found, for the board host's --verify switch and for the
// benchmark's reference sink.
#pragma once

#include <cstdint>
#include <string>

class PatternCheck {
public:
    // expected: how many bytes the sender means to send.
    explicit PatternCheck(long expected);

    // Byte i of the pattern.
    static char byte_at(long i) { return static_cast<char>('0' + i % 64); }
    // The pattern from byte offset on, RUN_BYTES of it, for senders.
    static constexpr long RUN_BYTES = 65536;
    static const char* run_from(long offset);

    // Takes the next bytes; returns a report line when one is due (the
    // expected count reached in order, the first wrong byte, the first byte
    // past the expected count), otherwise an empty string.
    std::string take(const uint8_t* bytes, int count);

    long in_order() const { return in_order_; }
    bool complete() const { return in_order_ == expected_ && !broken_ && extra_ == 0; }
    bool broken() const { return broken_; }
    long extra() const { return extra_; }

private:
    long expected_;
    long in_order_ = 0;
    long extra_ = 0;
    bool broken_ = false;
};
