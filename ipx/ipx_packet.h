// IPX packets as the UDP tunnel carries them: one 30-byte header, big-endian
// fields, then the data. Replaces the header handling of the IPX socket family.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t IPX_HEADER_SIZE = 30;
// The length field is 16 bits wide, so no packet is longer than this.
constexpr size_t IPX_MAX_PACKET = 65535;
// The tunnel's own socket: registration and keep-alive, never an endpoint's.
constexpr uint16_t IPX_TUNNEL_SOCKET = 2;

struct IpxHeader {
    uint16_t checksum = 0xFFFF;
    uint16_t length = IPX_HEADER_SIZE;
    uint8_t transport_control = 0;
    uint8_t packet_type = 0;
    uint8_t destination_network[4] = {};
    uint8_t destination_node[6] = {};
    uint16_t destination_socket = 0;
    uint8_t source_network[4] = {};
    uint8_t source_node[6] = {};
    uint16_t source_socket = 0;
};

// Reads and checks one datagram. False when it is not a packet: shorter than
// the header, or its length field disagrees with its size. Reads nothing
// beyond size bytes.
bool parse_ipx_datagram(const uint8_t* datagram, size_t size, IpxHeader& header);

// Writes the 30 header bytes as they go on the wire.
void write_ipx_header(const IpxHeader& header, uint8_t out[IPX_HEADER_SIZE]);

bool is_broadcast_node(const uint8_t node[6]);
bool is_zero_node(const uint8_t node[6]);
bool same_address(const uint8_t network_a[4], const uint8_t node_a[6],
                  const uint8_t network_b[4], const uint8_t node_b[6]);

// "NNNNNNNN:NNNNNNNNNNNN", as the notices print an address.
std::string format_ipx_address(const uint8_t network[4], const uint8_t node[6]);
