// IPX packets as the UDP tunnel carries them: one 30-byte header, big-endian
// fields, then the data. Replaces the header handling of the IPX socket family.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ipx/ipx_address.h"

constexpr size_t IPX_HEADER_SIZE = 30;
// Where the header's fields stand; nothing else reads a header by offset.
constexpr size_t IPX_LENGTH_OFFSET = 2;
constexpr size_t IPX_DESTINATION_OFFSET = 6;
constexpr size_t IPX_SOURCE_OFFSET = 18;
// The length field is 16 bits wide, so no packet is longer than this.
constexpr size_t IPX_MAX_PACKET = 65535;
// The tunnel's own socket: registration and keep-alive, never an endpoint's.
constexpr uint16_t IPX_TUNNEL_SOCKET = 2;

struct IpxHeader {
    uint16_t checksum = 0xFFFF;
    uint16_t length = IPX_HEADER_SIZE;
    uint8_t transport_control = 0;
    uint8_t packet_type = 0;
    IpxAddress destination;
    IpxAddress source;
};

// Reads and checks one datagram. False when it is not a packet: shorter than
// the header, or its length field disagrees with its size. Reads nothing
// beyond size bytes.
bool parse_ipx_datagram(const uint8_t* datagram, size_t size, IpxHeader& header);

// Writes the 30 header bytes as they go on the wire.
void write_ipx_header(const IpxHeader& header, uint8_t out[IPX_HEADER_SIZE]);
