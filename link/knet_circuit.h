// KnetCircuit: the KNET circuit's logic with no thread, socket, lock or
// global. It takes received datagrams, the caller's bytes and the time, and
// yields the packets to send, the bytes for the caller, the state the calls
// read, what it counted and its trace lines. BoardLink drives it from its
// link thread.
#pragma once

#include <cstdint>
#include <vector>

#include "link/board_settings.h"
#include "link/knet_packet.h"

// What a caller is told when no board host answers, whether none is known
// or the one called has gone.
extern const char* const BOARD_DOWN_TEXT;

// What a circuit counted since its owner last asked, for the status page:
// a call lost because the board was busy, and the last sequences of Data
// each way with the line they went on (line 0: none).
struct CircuitCounts {
    bool lost_busy = false;
    uint8_t sequence_in_line = 0;
    uint16_t sequence_in = 0;
    uint8_t sequence_out_line = 0;
    uint16_t sequence_out = 0;
};

// Where a circuit's trace lines go (each ends with its newline).
using CircuitTrace = void (*)(const char* line);
// Prints a trace line to standard output, as orva's trace has always gone.
void print_circuit_trace(const char* line);

// Where a circuit puts the bytes for the caller as they come, instead of
// in caller_bytes(); returns what the owner now holds for the caller.
class CallerBytesSink {
public:
    virtual ~CallerBytesSink() = default;
    virtual int bytes_for_caller(const uint8_t* bytes, int count) = 0;
};

class KnetCircuit {
public:
    // Board bytes held for the caller at which the link declares itself not
    // ready (in its Acks and controls), so that the board host waits until
    // the caller has caught up; half of it and the link is ready again.
    static constexpr int TO_CALLER_BOUND = 64 * 1024;
    // A board host that goes on sending past this much held for the caller
    // ignores the ready bit: its call is ended.
    static constexpr int TO_CALLER_LIMIT = 1 << 20;
    // Requests to end a circuit go out at once, then 1 ms later, the gap
    // doubling up to this, until the board host answers or the silence
    // limit has passed.
    static constexpr uint64_t END_REQUEST_LONGEST_GAP_MS = 1000;
    // How long an ended circuit keeps asking, and answers a late accept,
    // when Silence is 0.
    static constexpr uint64_t ENDING_WITHOUT_SILENCE_MS = 20000;

    // Dropping repeats is off unless the settings turn it on: a board host
    // need not expect it. Resending a lost Data packet is on, with care (see
    // tick). A quiet circuit is probed with a CircuitControl, which every
    // board host echoes, and a board host not heard from for the silence
    // limit, while we wait for an answer or probe it, is taken as gone: the
    // circuit fails and the caller is told. The default limit outlasts the
    // IPX stack's re-join of a restarted tunnel server, so a relay restart
    // costs no call.
    explicit KnetCircuit(const BoardSettings& settings = BoardSettings()) : settings_(settings) {}

    // What the dispatcher asks for.
    void request_connection(const char* service_name);
    void send_control(uint8_t control, uint8_t ack_flag);
    // Takes up to 512 of the caller's bytes, from the head of those the
    // owner holds, as one Data packet when the board is ready and nothing
    // is outstanding; the count taken. The owner keeps them there, as they
    // are, until take_released() lets it drop them: a copy of the packet is
    // built from them, not kept here. now_ms is the owner's clock: bytes may
    // come before the first tick.
    int take_caller_bytes(const uint8_t* bytes, int count, uint64_t now_ms);
    // The count of caller bytes the owner may drop from the head of those
    // it holds, since the last call: the outstanding packet's, once the
    // board host acknowledged it or the call is over. No more are taken
    // until the owner has asked.
    int take_released();
    // The caller has gone: the board host is asked to end the circuit at
    // once and then at growing intervals, until it answers or the silence
    // limit has passed.
    void hang_up(uint64_t now_ms);

    // One received datagram: every whole packet in it is checked, traced and
    // acted on in order. held_for_caller is what the owner still holds for
    // the caller, not counting caller_bytes().
    void handle_datagram(const uint8_t* bytes, int count, uint64_t now_ms, int held_for_caller);
    // The timers: resending, probing, telling the board the caller caught
    // up, the silence limit and the ending. unsent_empty is true when the
    // owner has sent every packet taken from packets(): a copy of the
    // outstanding Data is queued only then, so one at most waits. unacked
    // is the head of the caller bytes the owner holds, which the copy is
    // built from (none: no copy goes).
    void tick(uint64_t now_ms, int held_for_caller, bool unsent_empty = true, const uint8_t* unacked = nullptr);
    // When tick next has something to do on its own, on the clock tick is
    // given; UINT64_MAX for never. Catching up is not timed: the owner
    // ticks when the caller takes bytes.
    uint64_t next_due_ms() const;
    // The endpoint failed, or the owner closes: the circuit is over.
    void endpoint_failed();
    void end();

    // Trace lines go to trace from now on (print_circuit_trace at first).
    void set_trace(CircuitTrace trace) { trace_ = trace ? trace : print_circuit_trace; }
    // What was counted since the last call.
    CircuitCounts take_counts();
    // Bytes for the caller go to sink from now on (null: caller_bytes()).
    void set_caller_sink(CallerBytesSink* sink) { caller_sink_ = sink; }

    // Output, taken by the owner after each step: the packets built, laid
    // end to end (each one datagram), and the bytes for the caller.
    std::vector<uint8_t>& packets() { return packets_; }
    std::vector<uint8_t>& caller_bytes() { return caller_bytes_; }
    // True once since the last call when the line's state changed.
    bool take_status_changed();
    // True once when the call ended because the board host fell silent.
    bool take_lost_to_silence();
    // The caller is behind: the board host has been told not to send.
    bool caller_behind() const { return behind_; }
    // Nothing is left to do on the wire: the owner may close.
    bool finished() const { return finished_; }

    // alive: the circuit can carry the call. Once false, the circuit may
    // still be ending (asking the board host to end it, answering a late
    // accept) until finished().
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
    // Writes one Data packet of at most 512 bytes and marks it outstanding.
    void send_data(const uint8_t* bytes, int count);
    void send_ack(uint8_t circuit_number, uint16_t acknowledged);
    void text_to_caller(const char* text);
    void trace(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Bytes for the caller, to the sink or caller_bytes.
    void to_caller(const uint8_t* bytes, int count);
    void handle_packet(const KnetPacket& packet);
    void handle_control(const KnetHeader& h, uint8_t control, uint8_t ack_flag);
    void handle_board_data(const KnetPacket& packet);
    void handle_while_ending(const KnetPacket& packet);
    uint8_t* packet_space(int size);
    void fail(const char* why);
    // The call is over for the caller; the circuit goes on ending until
    // `until`, asking the board host to end it when ask is true.
    void start_ending(bool ask, uint64_t until);
    void finish();
    uint64_t ending_span_ms() const;
    // The board host has given the call a line.
    bool on_line() const { return circuit != 0 && circuit != NoCircuit; }
    // What our controls and Acks say of us.
    uint8_t own_control() const;
    void tick_ending(uint64_t now_ms);
    bool resend_due(uint64_t now_ms) const;
    bool probe_due(uint64_t now_ms) const;
    // How long a Data packet waits for its Ack before the circuit is probed.
    uint64_t probe_for_ack_ms() const;

    std::vector<uint8_t> packets_;
    std::vector<uint8_t> caller_bytes_;
    CallerBytesSink* caller_sink_ = nullptr;
    CircuitTrace trace_ = print_circuit_trace;
    CircuitCounts counts_;
    // What the owner holds for the caller, as of the last handover.
    int held_by_owner_ = 0;
    bool status_changed_ = true;
    bool lost_to_silence_ = false;
    bool finished_ = false;

    // The outstanding Data packet, whose bytes the owner keeps: what it
    // goes again with (its circuit, its own sequence, its size), when it
    // was first sent, when last, and whether the board host has since
    // answered something sent after that copy (a probe's echo, or a Nack of
    // it), which shows the copy or its Ack was lost rather than the board
    // being slow or gone.
    uint8_t outstanding_circuit_ = 0;
    uint16_t outstanding_sequence_ = 0;
    int outstanding_size_ = 0;
    // Caller bytes acknowledged, not yet dropped by the owner.
    int released_ = 0;
    uint64_t outstanding_first_ms_ = 0;
    uint64_t outstanding_sent_ms_ = 0;
    bool probed_since_copy_ = false;
    bool answered_since_copy_ = false;

    bool waiting_for_accept_ = false;
    // The one control sent after the accept: its echo states the board's
    // ready bit. A probe's echo only shows the board is alive.
    bool accept_echo_pending_ = false;
    bool clock_started_ = false;
    uint64_t now_ms_ = 0;
    uint64_t last_heard_ms_ = 0;
    uint64_t last_probe_ms_ = 0;
    BoardSettings settings_;
    // The board's Data packet passed on last, for DropRepeats.
    bool have_board_packet_ = false;
    std::vector<uint8_t> last_board_packet_;
    bool behind_ = false;

    // Ending, once the call is over for the caller.
    bool ending_ = false;
    bool asking_to_end_ = false;
    uint64_t ending_until_ms_ = 0;
    uint64_t next_end_request_ms_ = 0;
    uint64_t end_request_gap_ms_ = 1;
};
