// KnetCircuit: the KNET circuit's logic with no thread, socket or lock. It
// takes received datagrams, the caller's bytes and the time, and yields the
// packets to send, the bytes for the caller and the state the dispatcher
// reads. BoardLink drives it from its link thread.
#pragma once

#include <cstdint>
#include <vector>

#include "config/board_settings.h"
#include "link/knet_packet.h"

// What a caller is told when no board host answers, whether none is known
// or the one called has gone.
extern const char* const BOARD_DOWN_TEXT;

class KnetCircuit {
public:
    // Board bytes held for the caller past which the Ack of the next Data
    // packet waits until the caller has taken them: the board host sends
    // nothing new before its packet is acknowledged.
    static constexpr int TO_CALLER_BOUND = 64 * 1024;

    // Resending and dropping repeats are off unless the settings turn them
    // on: a board host need not expect either. A quiet circuit is probed
    // with a CircuitControl, which every board host echoes, and a board
    // host not heard from for the silence limit, while we wait for an
    // answer or probe it, is taken as gone: the circuit fails and the
    // caller is told. The default limit outlasts the IPX stack's re-join
    // of a restarted tunnel server, so a relay restart costs no call.
    explicit KnetCircuit(const BoardSettings& settings = BoardSettings()) : settings_(settings) {}

    // What the dispatcher asks for.
    void request_connection(const char* service_name);
    void send_control(uint8_t control, uint8_t ack_flag);
    // Builds one Data packet of at most 512 bytes and marks it outstanding;
    // false when it was refused.
    bool send_data(const uint8_t* bytes, int count);
    // Takes up to 512 of the caller's bytes as one Data packet when the
    // board is ready and nothing is outstanding; the count taken.
    int take_caller_bytes(const uint8_t* bytes, int count);

    // One received datagram: every whole packet in it is checked, traced and
    // acted on in order. held_for_caller is what the owner still holds for
    // the caller, not counting caller_bytes().
    void handle_datagram(const uint8_t* bytes, int count, uint64_t now_ms, int held_for_caller);
    // The timers: resending, probing, the deferred Ack and the silence limit.
    // unsent_empty is true when the owner has sent every packet taken from
    // packets(): a resend is queued only then, so one copy at most waits.
    void tick(uint64_t now_ms, int held_for_caller, bool unsent_empty = true);
    // When tick next has something to do on its own (a resend, a probe,
    // the silence limit), on the clock tick is given; UINT64_MAX for never.
    // A deferred Ack is not timed: it waits for the caller.
    uint64_t next_due_ms() const;
    // The endpoint failed, or the owner closes: the circuit is over.
    void endpoint_failed();
    void end();

    // Output, taken by the owner after each step: the packets built, laid
    // end to end (each one datagram), and the bytes for the caller.
    std::vector<uint8_t>& packets() { return packets_; }
    std::vector<uint8_t>& caller_bytes() { return caller_bytes_; }
    // True once since the last call when the line's state changed.
    bool take_status_changed();
    // An Ack held back until the caller catches up.
    bool ack_deferred() const { return ack_deferred_; }

    bool alive = true;
    uint8_t circuit = 0;
    uint8_t line = 0;
    uint16_t circuit0_sequence = 1;
    uint16_t control_sequence = 1;
    uint16_t data_sequence = 1;
    bool peer_ready = true;
    bool awaiting_ack = false;
    uint16_t pending_sequence = 0;

private:
    void send_ack(uint8_t circuit_number, uint16_t acknowledged);
    void print_to_caller(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void handle_packet(const KnetPacket& packet, int held_for_caller);
    void handle_board_data(const KnetPacket& packet, int held_for_caller);
    uint8_t* packet_space(int size);
    void fail(const char* why);

    std::vector<uint8_t> packets_;
    std::vector<uint8_t> caller_bytes_;
    bool status_changed_ = true;

    // For recovering from lost, repeated and refused packets. The
    // outstanding Data packet is kept whole so that it can go again with
    // its own sequence.
    std::vector<uint8_t> outstanding_;
    uint64_t outstanding_sent_ms_ = 0;
    bool waiting_for_accept_ = false;
    bool resend_after_nack_ = false;
    bool clock_started_ = false;
    uint64_t now_ms_ = 0;
    uint64_t last_heard_ms_ = 0;
    uint64_t last_probe_ms_ = 0;
    BoardSettings settings_;
    // The board's Data packet passed on last, for DropRepeats.
    bool have_board_packet_ = false;
    std::vector<uint8_t> last_board_packet_;
    bool ack_deferred_ = false;
    uint8_t deferred_circuit_ = 0;
    uint16_t deferred_sequence_ = 0;
};
