// Crafted SAP datagrams as the IPX stack delivers them: a 30-byte header
// followed by the payload.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace sap_test {

struct Entry {
    uint16_t type;
    std::string name;
    uint8_t network[4];
    uint8_t node[6];
    uint16_t socket;
    uint16_t hops;
};

inline void put16(std::vector<uint8_t>& v, uint16_t x)
{
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}

inline std::vector<uint8_t> payload_of(uint16_t operation, const std::vector<Entry>& entries)
{
    std::vector<uint8_t> p;
    put16(p, operation);
    for (const Entry& e : entries) {
        put16(p, e.type);
        uint8_t name[48] = {};
        std::memcpy(name, e.name.data(), e.name.size() < 48 ? e.name.size() : 48);
        p.insert(p.end(), name, name + 48);
        p.insert(p.end(), e.network, e.network + 4);
        p.insert(p.end(), e.node, e.node + 6);
        put16(p, e.socket);
        put16(p, e.hops);
    }
    return p;
}

inline const uint8_t PEER_NETWORK[4] = {0x00, 0x00, 0x12, 0x34};
inline const uint8_t PEER_NODE[6] = {0x02, 0x00, 0x7F, 0x00, 0x00, 0x01};
constexpr uint16_t PEER_SOCKET = 0x0452;

// length < 0 means the true length, stored big-endian as on the wire.
inline std::vector<uint8_t> datagram(const std::vector<uint8_t>& payload, int length = -1)
{
    std::vector<uint8_t> d(30, 0);
    uint16_t l = static_cast<uint16_t>(length < 0 ? 30 + payload.size() : length);
    d[2] = static_cast<uint8_t>(l >> 8);
    d[3] = static_cast<uint8_t>(l);
    std::memcpy(&d[18], PEER_NETWORK, 4);
    std::memcpy(&d[22], PEER_NODE, 6);
    d[28] = PEER_SOCKET >> 8;
    d[29] = PEER_SOCKET & 0xFF;
    d.insert(d.end(), payload.begin(), payload.end());
    return d;
}

inline Entry board_entry(const std::string& name = "KELB", uint16_t hops = 1)
{
    return Entry{0x9191, name, {0, 0, 0, 0x2A}, {0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, 0x4001, hops};
}

}
