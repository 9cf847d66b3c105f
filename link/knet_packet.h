// KNET wire format: the 8-byte header, the payload layouts and the limits,
// shared by the board link and the board host simulator.
#pragma once

#include <cstdint>

#include "util/big_endian.h"

namespace knet {
enum PacketType : uint8_t {
    ConnectionRequest = 0,
    ConnectionAccept = 1,
    Ack = 2,
    Nack = 3,
    CircuitControl = 4,
    Data = 5,
};
}

// Control bits of a CircuitControl byte (and of the high byte of an Ack's
// control word).
constexpr uint8_t ControlReady = 0x80;   // the sender accepts Data
constexpr uint8_t ControlActive = 0x40;  // set in every byte sent with the circuit up
constexpr uint8_t ControlUp = 0x20;      // without it the circuit ends

constexpr int KNET_HEADER_SIZE = 8;
constexpr int KNET_MAX_PACKET = 520;
constexpr int KNET_MAX_DATA = KNET_MAX_PACKET - KNET_HEADER_SIZE;  // 512

// Circuit number of a link that was refused, ended or closed.
constexpr uint8_t NoCircuit = 255;

// Payload lengths fixed by the packet type.
constexpr int KNET_ACCEPT_LENGTH = 3;
constexpr int KNET_ACK_LENGTH = 4;
constexpr int KNET_NACK_LENGTH = 4;
constexpr int KNET_CONTROL_LENGTH = 2;

// The control word every Ack from the adapter carries: ready, circuit up.
constexpr uint16_t KNET_ACK_CONTROL_WORD = 0xE000;

struct KnetHeader {
    uint16_t length = 0;
    uint16_t sequence = 0;
    uint8_t type = 0;
    uint8_t circuit = 0;
    uint16_t reserved = 0;
};

// Writes the header (reserved always 0) at p.
void knet_write_header(uint8_t* p, uint16_t length, uint16_t sequence, uint8_t type, uint8_t circuit);
KnetHeader knet_read_header(const uint8_t* p);

// Packet builders: each writes one whole packet at p, which must have room
// for it, and returns its size in bytes.
int knet_connection_request_size(const char* service_name);
int knet_write_connection_request(uint8_t* p, uint16_t sequence, const char* service_name);
int knet_write_connection_accept(uint8_t* p, uint16_t sequence, uint8_t line, uint16_t seq_resp);
int knet_write_ack(uint8_t* p, uint8_t circuit, uint16_t sequence, uint16_t acknowledged,
                   uint16_t control_word);
int knet_write_nack(uint8_t* p, uint8_t circuit, uint16_t sequence, uint16_t refused, uint16_t reason);
int knet_write_control(uint8_t* p, uint8_t circuit, uint16_t sequence, uint8_t control, uint8_t ack_flag);
// count must be at most KNET_MAX_DATA.
int knet_write_data(uint8_t* p, uint8_t circuit, uint16_t sequence, const uint8_t* bytes, int count);

// One packet found in a received datagram; payload points into the datagram
// and holds header.length bytes.
struct KnetPacket {
    KnetHeader header;
    const uint8_t* payload = nullptr;
};

// Walks the packets laid end to end in one datagram. next() returns false
// when no whole packet is left: fewer than 8 bytes, or a length reaching past
// the end. Nothing outside the datagram is read.
class KnetPacketReader {
public:
    KnetPacketReader(const uint8_t* bytes, int count) : bytes_(bytes), count_(count) {}
    bool next(KnetPacket& packet);
    // Bytes not walked: a truncated packet at the end, or 0.
    int left() const { return count_ - offset_; }

private:
    const uint8_t* bytes_;
    int count_;
    int offset_ = 0;
};

// True when a packet of types 0 to 4 has the payload length its type fixes;
// Data is checked by circuit, not length, and types 6 and above never pass.
bool knet_length_valid(const KnetHeader& header);
