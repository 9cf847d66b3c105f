// IpxAddress: comparison, text and wire form.
#include "ipx/ipx_address.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "util/big_endian.h"

bool IpxAddress::same_host(const IpxAddress& other) const
{
    return std::equal(network, network + 4, other.network) && std::equal(node, node + 6, other.node);
}

bool IpxAddress::broadcast_node() const
{
    return std::all_of(node, node + 6, [](uint8_t b) { return b == 0xFF; });
}

bool IpxAddress::zero_node() const
{
    return std::all_of(node, node + 6, [](uint8_t b) { return b == 0; });
}

std::string IpxAddress::host_text() const
{
    char text[32];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X:%02X%02X%02X%02X%02X%02X", network[0],
                  network[1], network[2], network[3], node[0], node[1], node[2], node[3], node[4],
                  node[5]);
    return text;
}

std::string IpxAddress::text() const
{
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, ":%04X", socket);
    return host_text() + suffix;
}

IpxAddress IpxAddress::read(const uint8_t* at)
{
    IpxAddress a;
    std::memcpy(a.network, at, 4);
    std::memcpy(a.node, at + 4, 6);
    a.socket = get_be16(at + 10);
    return a;
}

void IpxAddress::write(uint8_t* at) const
{
    std::memcpy(at, network, 4);
    std::memcpy(at + 4, node, 6);
    put_be16(at + 10, socket);
}

IpxAddress ipx_broadcast(uint16_t socket)
{
    IpxAddress a;
    std::memset(a.node, 0xFF, 6);
    a.socket = socket;
    return a;
}
