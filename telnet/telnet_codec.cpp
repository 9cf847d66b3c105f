#include "telnet/telnet_codec.h"

#include <cstring>

namespace {
constexpr uint8_t WILL = 251;
constexpr uint8_t DONT = 254;
}

int32_t telnet_strip_commands(TelnetInputState& state, const uint8_t* in, int32_t count, uint8_t* out)
{
    int32_t copied = 0;
    for (int32_t i = 0; i < count; i++) {
        const uint8_t b = in[i];
        switch (state) {
        case TelnetInputState::Data:
            if (b == TELNET_IAC)
                state = TelnetInputState::Command;
            else
                out[copied++] = b;
            break;
        case TelnetInputState::Command:
            if (b == TELNET_IAC)
                out[copied++] = TELNET_IAC;
            state = b >= WILL && b <= DONT ? TelnetInputState::Option : TelnetInputState::Data;
            break;
        case TelnetInputState::Option:
            state = TelnetInputState::Data;
            break;
        }
    }
    return copied;
}

int32_t telnet_escaped_size(const uint8_t* in, int32_t count)
{
    int32_t size = count;
    for (int32_t i = 0; i < count; i++)
        size += in[i] == TELNET_IAC;
    return size;
}

int32_t telnet_escape_data(const uint8_t* in, int32_t count, uint8_t* out)
{
    // Runs up to and including each 255, then the escaping second 255.
    int32_t written = 0;
    int32_t start = 0;
    while (start < count) {
        const void* found = std::memchr(in + start, TELNET_IAC, size_t(count - start));
        const int32_t end = found ? int32_t(static_cast<const uint8_t*>(found) - in) + 1 : count;
        std::memcpy(out + written, in + start, size_t(end - start));
        written += end - start;
        if (found)
            out[written++] = TELNET_IAC;
        start = end;
    }
    return written;
}
