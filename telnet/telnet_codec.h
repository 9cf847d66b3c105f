// The Telnet byte stream both ways: commands taken out of what a caller
// sends, and data bytes 255 escaped on their way to the caller.
#pragma once

#include <cstdint>

constexpr uint8_t TELNET_IAC = 255;
// No operation: a client ignores it, so it may be sent at any time.
constexpr uint8_t TELNET_NOP = 241;

// Where a caller's stream stands between two segments: in data, after an
// IAC, or after IAC and one of WILL, WONT, DO, DONT (waiting for the option).
enum class TelnetInputState : uint8_t { Data, Command, Option };

// Writes the data bytes of in[0..count) to out, which has room for count
// bytes, and returns how many it wrote. IAC IAC is one data byte 255; IAC
// with WILL, WONT, DO or DONT and its option byte is dropped; IAC with any
// other byte (SB and SE too, so subnegotiation bytes pass as data) is
// dropped; every other byte passes unchanged. A command cut off at the end
// of in is finished by the next call with the same state.
int32_t telnet_strip_commands(TelnetInputState& state, const uint8_t* in, int32_t count, uint8_t* out);

// The size of in[0..count) sent as data: each byte 255 counts twice.
int32_t telnet_escaped_size(const uint8_t* in, int32_t count);
// Writes in[0..count) to out with each byte 255 doubled; out has room for
// telnet_escaped_size bytes. Returns the bytes written.
int32_t telnet_escape_data(const uint8_t* in, int32_t count, uint8_t* out);
