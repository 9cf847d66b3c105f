// TelnetStream: what a Telnet caller's byte stream carries besides data,
// whatever connection it rides on: the option announcements that open a
// session, commands taken out of what the caller sends, data bytes 255
// doubled on their way to the caller, and the NOP that every client
// ignores.
#pragma once

#include "telnet/telnet_codec.h"
#include "util/byte_queue.h"

class TelnetStream {
public:
    void opening(ByteQueue& out);
    // Works in place; a command cut off at the end is finished next call.
    int32_t decode(uint8_t* bytes, int32_t count);
    int32_t encoded_size(const uint8_t* bytes, int32_t count);
    // False (nothing appended) when out has no room for the encoding.
    bool encode(const uint8_t* bytes, int32_t count, ByteQueue& out);
    void keepalive(ByteQueue& out);

private:
    // A command cut off at the end of what decode last saw.
    TelnetInputState input_state_ = TelnetInputState::Data;
};
