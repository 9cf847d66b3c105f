// Big-endian fields at a byte offset: every wire format here (IPX, KNET,
// SAP) stores its numbers most significant byte first.
#pragma once

#include <cstdint>

inline uint16_t get_be16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

inline void put_be16(uint8_t* p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}
