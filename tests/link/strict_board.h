// StrictBoard: a board host that does only what the circuit protocol fixes,
// written apart from the simulator so that the adapter is held to the
// protocol, not to our own board. It answers a ConnectionRequest with a
// ConnectionAccept, acknowledges each Data packet by its sequence, echoes a
// control byte asking for an answer, and passes on every payload it gets:
// no duplicate test, no resending, no timers. The test decides when its
// Acks leave and what its ready bit says.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/knet_packets.h"

namespace knet_bytes = support::knet_bytes;

class StrictBoard {
public:
    explicit StrictBoard(uint8_t line = 5) : line_(line) {}

    // One datagram from the adapter; the answers go to outbox.
    void receive(const knet_bytes::Bytes& datagram);
    // Every payload of every Data packet, in arrival order.
    std::string received;
    int data_packets = 0;
    // While true, Acks wait until release_acks, which sends them with the
    // ready bit of that moment.
    bool hold_acks = false;
    void release_acks();
    // The ready bit in the Acks and control answers it sends.
    bool ready = true;
    // Packets for the adapter, oldest first.
    std::vector<knet_bytes::Bytes> outbox;

    // What the board host sends of its own accord.
    knet_bytes::Bytes data(const std::string& text);
    knet_bytes::Bytes data_with_sequence(uint16_t sequence, const std::string& text);
    knet_bytes::Bytes control(uint8_t control_byte);

private:
    uint8_t line_;
    uint16_t circuit0_sequence_ = 1;
    uint16_t sequence_ = 1;
    struct Held {
        uint8_t circuit;
        uint16_t sequence;
    };
    std::vector<Held> held_acks_;
};
