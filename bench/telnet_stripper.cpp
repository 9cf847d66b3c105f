#include "bench/telnet_stripper.h"

namespace {

constexpr uint8_t IAC = 255;
constexpr uint8_t SB = 250;
constexpr uint8_t SE = 240;
constexpr uint8_t WILL = 251;
constexpr uint8_t DONT = 254;

}

void TelnetStripper::feed(const uint8_t* in, int count, std::string& out)
{
    for (int i = 0; i < count; ++i) {
        const uint8_t b = in[i];
        switch (state_) {
        case State::Data:
            if (b == IAC)
                state_ = State::Command;
            else
                out.push_back(static_cast<char>(b));
            break;
        case State::Command:
            if (b == IAC) {
                out.push_back(static_cast<char>(IAC));
                state_ = State::Data;
            } else if (b >= WILL && b <= DONT) {
                state_ = State::Option;
            } else if (b == SB) {
                state_ = State::Sub;
            } else {
                state_ = State::Data;
            }
            break;
        case State::Option:
            state_ = State::Data;
            break;
        case State::Sub:
            if (b == IAC)
                state_ = State::SubCommand;
            break;
        case State::SubCommand:
            state_ = b == SE ? State::Data : State::Sub;
            break;
        }
    }
}
