// StrictBoard: a board host with one line that does only what the circuit
// protocol fixes, written apart from the simulator so that the adapter is
// held to the protocol, not to our own board. It answers a
// ConnectionRequest with a ConnectionAccept (line 0 while its line is
// taken), acknowledges each Data packet by its sequence, echoes every
// control byte that asks for an answer exactly as it came, frees its line
// when the circuit is ended, and sends its own output one Data packet at a
// time, each after the Ack of the one before and only while the adapter
// says it is ready. No duplicate test and no timers, unless a test asks it
// to resend. The test decides when its Acks leave and what its ready bit
// says.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/knet_packets.h"

namespace support {

class StrictBoard {
public:
    explicit StrictBoard(uint8_t line = 5) : line_(line) {}

    // One datagram from the adapter; the answers go to outbox.
    void receive(const knet_bytes::Bytes& datagram);
    // Every payload of every Data packet, in arrival order.
    std::string received;
    int data_packets = 0;
    // Every CircuitControl received, as control byte and flag.
    std::vector<std::pair<uint8_t, uint8_t>> controls;
    // While true, Acks wait until release_acks, which sends them with the
    // ready bit of that moment.
    bool hold_acks = false;
    void release_acks();
    // The ready bit in the Acks it sends.
    bool ready = true;
    // Packets for the adapter, oldest first.
    std::vector<knet_bytes::Bytes> outbox;
    // The line is given to a caller until the circuit is ended.
    bool line_taken = false;
    int connections = 0;

    // Output for the caller, sent by tick: one Data packet at a time.
    void send_output(const std::string& text) { output_ += text; }
    // Sends the next Data packet when it may. With resend_ms, a Data packet
    // not acknowledged for that long goes again, with its own sequence.
    void tick(uint64_t now_ms);
    int resend_ms = 0;
    // The adapter's ready bit, from its Acks and its own control bytes.
    bool peer_ready = true;
    bool output_waiting() const { return !output_.empty() || awaiting_ack_; }

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
    std::string output_;
    bool awaiting_ack_ = false;
    uint16_t outstanding_sequence_ = 0;
    knet_bytes::Bytes outstanding_;
    uint64_t sent_ms_ = 0;
};

}
