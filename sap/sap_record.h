// SapRecord: one SAP query or server entry, and where it came from or goes
// to.
#pragma once

#include <cstdint>

#include "ipx/ipx_packet.h"

constexpr uint16_t SAP_SOCKET = 0x0452;
constexpr uint16_t SAP_HOPS_DOWN = 16;

// SAP operations as carried in the first payload word.
namespace sap {
constexpr uint16_t GSQ = 1;
constexpr uint16_t GSR = 2;
constexpr uint16_t NSQ = 3;
constexpr uint16_t NSR = 4;
}

constexpr int SAP_NAME_LENGTH = 48;
// Bytes of the IPX header in front of every received datagram.
constexpr int SAP_HEADER_LENGTH = static_cast<int>(IPX_HEADER_SIZE);
// Service type, name, network, node, socket, hops.
constexpr int SAP_ENTRY_LENGTH = 64;

// All numbers in host order. Name, server and hops are filled for
// responses only.
struct SapRecord {
    uint16_t operation = 0;
    uint16_t service_type = 0;
    char name[SAP_NAME_LENGTH + 1] = {};
    // Where the server advertises itself.
    IpxAddress server;
    uint16_t hops = 0;
    IpxAddress peer;
};

// "GSQ", "GSR", "NSQ", "NSR", or "???" for anything else.
const char* sap_operation_name(uint16_t operation);
