// IpxAddress: one place on the IPX network, as packets and SAP entries
// carry it: network (4 bytes), node (6 bytes), socket number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct IpxAddress {
    // Network, node and big-endian socket, as they stand in a header.
    static constexpr size_t WIRE_SIZE = 12;

    uint8_t network[4] = {}; // as on the wire
    uint8_t node[6] = {};    // as on the wire
    uint16_t socket = 0;     // host order

    bool operator==(const IpxAddress& other) const = default;
    // Same network and node, whatever the socket.
    bool same_host(const IpxAddress& other) const;
    bool broadcast_node() const;
    bool zero_node() const;

    // "NNNNNNNN:NNNNNNNNNNNN": network and node, as notices print a host.
    std::string host_text() const;
    // "NNNNNNNN:NNNNNNNNNNNN:SSSS": the host and the socket.
    std::string text() const;

    // The WIRE_SIZE bytes at `at`.
    static IpxAddress read(const uint8_t* at);
    void write(uint8_t* at) const;
};

// The broadcast node on the local network (network 0).
IpxAddress ipx_broadcast(uint16_t socket);
