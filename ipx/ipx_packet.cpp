// IPX packets as the UDP tunnel carries them.
#include "ipx/ipx_packet.h"

#include <cstdio>
#include <cstring>

namespace {
uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
void put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
}

bool parse_ipx_datagram(const uint8_t* datagram, size_t size, IpxHeader& header)
{
    if (datagram == nullptr || size < IPX_HEADER_SIZE || size > IPX_MAX_PACKET)
        return false;
    uint16_t length = get16(datagram + 2);
    if (length != size)
        return false;
    header.checksum = get16(datagram);
    header.length = length;
    header.transport_control = datagram[4];
    header.packet_type = datagram[5];
    std::memcpy(header.destination_network, datagram + 6, 4);
    std::memcpy(header.destination_node, datagram + 10, 6);
    header.destination_socket = get16(datagram + 16);
    std::memcpy(header.source_network, datagram + 18, 4);
    std::memcpy(header.source_node, datagram + 22, 6);
    header.source_socket = get16(datagram + 28);
    return true;
}

void write_ipx_header(const IpxHeader& header, uint8_t out[IPX_HEADER_SIZE])
{
    put16(out, header.checksum);
    put16(out + 2, header.length);
    out[4] = header.transport_control;
    out[5] = header.packet_type;
    std::memcpy(out + 6, header.destination_network, 4);
    std::memcpy(out + 10, header.destination_node, 6);
    put16(out + 16, header.destination_socket);
    std::memcpy(out + 18, header.source_network, 4);
    std::memcpy(out + 22, header.source_node, 6);
    put16(out + 28, header.source_socket);
}

bool is_broadcast_node(const uint8_t node[6])
{
    for (int i = 0; i < 6; ++i)
        if (node[i] != 0xFF)
            return false;
    return true;
}

bool is_zero_node(const uint8_t node[6])
{
    for (int i = 0; i < 6; ++i)
        if (node[i] != 0)
            return false;
    return true;
}

bool same_address(const uint8_t network_a[4], const uint8_t node_a[6],
                  const uint8_t network_b[4], const uint8_t node_b[6])
{
    return std::memcmp(network_a, network_b, 4) == 0 && std::memcmp(node_a, node_b, 6) == 0;
}

std::string format_ipx_address(const uint8_t network[4], const uint8_t node[6])
{
    char text[32];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X:%02X%02X%02X%02X%02X%02X", network[0],
                  network[1], network[2], network[3], node[0], node[1], node[2], node[3], node[4],
                  node[5]);
    return text;
}
