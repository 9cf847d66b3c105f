#include "telnet/telnet_stream.h"

namespace {

// Verb and option of each announcement, in the order callers receive them.
constexpr uint8_t OPTION_ANNOUNCEMENTS[8][2] = {
    {251, 3}, // WILL SUPPRESS-GO-AHEAD
    {253, 3}, // DO SUPPRESS-GO-AHEAD
    {253, 0}, // DO BINARY
    {251, 0}, // WILL BINARY
    {254, 1}, // DONT ECHO
    {251, 1}, // WILL ECHO
    {254, 7}, // DONT remote controlled transmission and echoing
    {252, 7}, // WONT the same
};

}

void TelnetStream::opening(ByteQueue& out)
{
    for (const auto& announcement : OPTION_ANNOUNCEMENTS) {
        const uint8_t command[3] = {TELNET_IAC, announcement[0], announcement[1]};
        out.append(command, 3);
    }
}

int32_t TelnetStream::decode(uint8_t* bytes, int32_t count)
{
    // Never writes ahead of where it reads, so it works in place.
    return telnet_strip_commands(input_state_, bytes, count, bytes);
}

int32_t TelnetStream::encoded_size(const uint8_t* bytes, int32_t count)
{
    return telnet_escaped_size(bytes, count);
}

bool TelnetStream::encode(const uint8_t* bytes, int32_t count, ByteQueue& out)
{
    const int32_t size = telnet_escaped_size(bytes, count);
    out.reserve(size);
    if (out.space() < size)
        return false;
    out.commit(telnet_escape_data(bytes, count, out.tail()));
    return true;
}

void TelnetStream::keepalive(ByteQueue& out)
{
    const uint8_t nop[2] = {TELNET_IAC, TELNET_NOP};
    out.append(nop, 2);
}
