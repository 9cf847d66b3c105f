// CallerGate: the key a caller presses before a board line is taken, two
// ESC bytes in a row among its data bytes within a time, so that bots that
// connect and wait, or send a script, never reach the board. Takes bytes
// and the time; no sockets.
#pragma once

#include <cstdint>

class CallerGate {
public:
    static constexpr uint8_t ESC = 0x1B;
    // Bytes other than ESC a caller may send before the two ESCs; one
    // more and it fails.
    static constexpr int OTHER_BYTES_LIMIT = 256;

    enum class State { Waiting, Passed, Failed };

    // Open from the start (no gate) when wait_ms is 0.
    explicit CallerGate(int wait_ms = 0) : wait_ms_(wait_ms), state_(wait_ms > 0 ? State::Waiting : State::Passed) {}

    // The caller has been asked: the time runs from now_ms (monotonic).
    // Once; later calls change nothing.
    void ask(uint64_t now_ms);
    // Takes the caller's data bytes while waiting; the count looked at:
    // all of them, or those up to and with the second ESC once it passes
    // (the rest are the caller's first bytes for the board).
    int32_t feed(const uint8_t* bytes, int32_t count);
    // Fails a caller still waiting once its time is over; the state.
    State check_time(uint64_t now_ms);
    // When a waiting caller's time is over; 0 while not asked or not waiting.
    uint64_t deadline_ms() const { return state_ == State::Waiting ? deadline_ms_ : 0; }

    State state() const { return state_; }

private:
    int wait_ms_;
    State state_;
    uint64_t deadline_ms_ = 0;
    bool after_esc_ = false;
    int others_ = 0;
};
