// TelnetStripper: the data bytes of a Telnet stream as a caller sees them,
// with option negotiation and other commands taken out.
#pragma once

#include <cstdint>
#include <string>

class TelnetStripper {
public:
    // Appends the data bytes among in[0..count) to out; a command split
    // between two calls is carried over.
    void feed(const uint8_t* in, int count, std::string& out);

private:
    enum class State { Data, Command, Option, Sub, SubCommand };
    State state_ = State::Data;
};
