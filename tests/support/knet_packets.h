// KNET packets as byte vectors, and queues split into packets, for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/knet_packet.h"

namespace support::knet_bytes {

using Bytes = std::vector<uint8_t>;

inline Bytes accept(uint16_t seq, uint8_t line, uint16_t seq_resp = 0)
{
    Bytes b(KNET_MAX_PACKET);
    b.resize(knet_write_connection_accept(b.data(), seq, line, seq_resp));
    return b;
}

inline Bytes ack(uint8_t circuit, uint16_t seq, uint16_t acked, uint16_t control = 0xE000)
{
    Bytes b(KNET_MAX_PACKET);
    b.resize(knet_write_ack(b.data(), circuit, seq, acked, control));
    return b;
}

inline Bytes control(uint8_t circuit, uint16_t seq, uint8_t byte, uint8_t flag)
{
    Bytes b(KNET_MAX_PACKET);
    b.resize(knet_write_control(b.data(), circuit, seq, byte, flag));
    return b;
}

inline Bytes nack(uint8_t circuit, uint16_t seq, uint16_t refused, uint16_t reason)
{
    Bytes b(KNET_MAX_PACKET);
    b.resize(knet_write_nack(b.data(), circuit, seq, refused, reason));
    return b;
}

// The big-endian 16-bit field at offset in a packet.
inline uint16_t field16(const Bytes& packet, size_t offset)
{
    return static_cast<uint16_t>(packet.at(offset) << 8 | packet.at(offset + 1));
}

// Any size, so that tests can play a board host that sends oversized Data.
inline Bytes data(uint8_t circuit, uint16_t seq, const std::string& text)
{
    Bytes b(KNET_HEADER_SIZE + text.size());
    b.resize(knet_write_data(b.data(), circuit, seq, reinterpret_cast<const uint8_t*>(text.data()),
                             static_cast<int>(text.size())));
    return b;
}

inline Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The packets laid end to end in bytes, each as its own vector.
inline std::vector<Bytes> split(const Bytes& bytes)
{
    std::vector<Bytes> out;
    KnetPacketReader reader(bytes.data(), static_cast<int>(bytes.size()));
    KnetPacket p;
    while (reader.next(p))
        out.emplace_back(p.payload - KNET_HEADER_SIZE, p.payload + p.header.length);
    return out;
}

}
