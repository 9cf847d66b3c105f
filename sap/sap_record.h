// SapRecord and IpxAddress: one SAP query or server entry, and where it
// came from or goes to.
#pragma once

#include <cstdint>

constexpr uint16_t SAP_SOCKET = 0x0452;
constexpr uint16_t SAP_HOPS_DOWN = 16;

// SAP operations as carried in the first payload word.
constexpr uint16_t GSQ = 1;
constexpr uint16_t GSR = 2;
constexpr uint16_t NSQ = 3;
constexpr uint16_t NSR = 4;

constexpr int SAP_NAME_LENGTH = 48;
// Bytes of the IPX header in front of every received datagram.
constexpr int SAP_HEADER_LENGTH = 30;
// Service type, name, network, node, socket, hops.
constexpr int SAP_ENTRY_LENGTH = 64;

// Network and node as on the wire; socket in host order.
struct IpxAddress {
    uint8_t network[4];
    uint8_t node[6];
    uint16_t socket;
};

// All numbers in host order. Name, network, node, socket and hops are
// filled for responses only.
struct SapRecord {
    uint16_t operation;
    uint16_t service_type;
    char name[SAP_NAME_LENGTH + 1];
    uint8_t network[4];
    uint8_t node[6];
    uint16_t socket;
    uint16_t hops;
    IpxAddress peer;
};

// "GSQ", "GSR", "NSQ", "NSR", or "???" for anything else.
const char* sap_operation_name(uint16_t operation);
