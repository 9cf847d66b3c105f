#include "link/knet_circuit.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>


namespace {

const char* const BUSY_TEXT = "KELB is currently busy, please call back again later.\r\n";

// The control word of our Acks: ready and up, or up only while the caller
// is behind.
constexpr uint16_t ACK_READY = 0xE000;
constexpr uint16_t ACK_NOT_READY = 0x6000;

}

const char* const BOARD_DOWN_TEXT = "\r\nKELB is currently down.  Please try back later.\r\n";

uint8_t* KnetCircuit::packet_space(int size)
{
    packets_.resize(packets_.size() + size);
    return packets_.data() + packets_.size() - size;
}

void print_circuit_trace(const char* line)
{
    std::fputs(line, stdout);
}

void KnetCircuit::trace(const char* format, ...)
{
    char line[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n > 0)
        trace_(line);
}

CircuitCounts KnetCircuit::take_counts()
{
    const CircuitCounts counts = counts_;
    counts_ = CircuitCounts();
    return counts;
}

bool KnetCircuit::take_status_changed()
{
    const bool changed = status_changed_;
    status_changed_ = false;
    return changed;
}

bool KnetCircuit::take_lost_to_silence()
{
    const bool lost = lost_to_silence_;
    lost_to_silence_ = false;
    return lost;
}

uint8_t KnetCircuit::own_control() const
{
    return behind_ ? uint8_t(ControlActive | ControlUp) : uint8_t(ControlReady | ControlActive | ControlUp);
}

void KnetCircuit::request_connection(const char* service_name)
{
    const uint16_t sequence = circuit0_sequence;
    trace("KNET-SEND: Circuit: 0, Seq: %d, Connection Request: %s\n", sequence, service_name);
    knet_write_connection_request(packet_space(knet_connection_request_size(service_name)), sequence,
                                  service_name);
    circuit0_sequence = static_cast<uint16_t>(sequence + 1);
    waiting_for_accept_ = true;
}

void KnetCircuit::send_ack(uint8_t circuit_number, uint16_t acknowledged)
{
    uint16_t& counter = circuit_number == 0 ? circuit0_sequence : control_sequence;
    const uint16_t sequence = counter;
    trace("KNET-SEND: Circuit: %d, Seq: %d, ACK for %d\n", circuit_number, sequence, acknowledged);
    knet_write_ack(packet_space(KNET_HEADER_SIZE + KNET_ACK_LENGTH), circuit_number, sequence, acknowledged,
                   behind_ ? ACK_NOT_READY : ACK_READY);
    counter = static_cast<uint16_t>(sequence + 1);
}

void KnetCircuit::send_control(uint8_t control, uint8_t ack_flag)
{
    const uint8_t circuit_number = circuit;
    const uint16_t sequence = control_sequence;
    trace("KNET-SEND: Circuit: %d, Seq: %d, Circuit Control %02X, ACK: %02X\n", circuit_number,
                sequence, control, ack_flag);
    knet_write_control(packet_space(KNET_HEADER_SIZE + KNET_CONTROL_LENGTH), circuit_number, sequence, control,
                       ack_flag);
    control_sequence = static_cast<uint16_t>(sequence + 1);
    // Every board host echoes this one: an echo from now on shows the board
    // took something sent after the outstanding Data.
    if (ack_flag == 0 && (control & ControlUp) && awaiting_ack)
        probed_since_copy_ = true;
}

void KnetCircuit::send_data(const uint8_t* bytes, int count)
{
    const uint8_t circuit_number = circuit;
    const uint16_t sequence = data_sequence;
    trace("KNET-SEND: Circuit: %d, Seq: %d, DATA, Size: %d\n", circuit_number, sequence, count);
    knet_write_data(packet_space(KNET_HEADER_SIZE + count), circuit_number, sequence, bytes, count);
    outstanding_circuit_ = circuit_number;
    outstanding_sequence_ = sequence;
    outstanding_size_ = count;
    outstanding_first_ms_ = now_ms_;
    outstanding_sent_ms_ = now_ms_;
    probed_since_copy_ = false;
    answered_since_copy_ = false;
    awaiting_ack = true;
    pending_sequence = sequence;
    data_sequence = static_cast<uint16_t>(sequence + 1);
    counts_.sequence_in = sequence;
    counts_.sequence_in_line = circuit_number;
}

int KnetCircuit::take_caller_bytes(const uint8_t* bytes, int count, uint64_t now_ms)
{
    // The packet's age is counted from now: a time left from before the
    // first tick would make it overdue at once and end the call.
    now_ms_ = now_ms;
    // Released bytes not yet dropped still lie at the head of the owner's.
    if (!alive || !peer_ready || awaiting_ack || released_ > 0 || count <= 0)
        return 0;
    const int k = count < KNET_MAX_DATA ? count : KNET_MAX_DATA;
    send_data(bytes, k);
    return k;
}

int KnetCircuit::take_released()
{
    // A call that is over sends nothing again: what waited for its Ack goes
    // as the rest of the call does.
    if (!alive) {
        released_ += outstanding_size_;
        outstanding_size_ = 0;
    }
    const int released = released_;
    released_ = 0;
    return released;
}

uint64_t KnetCircuit::ending_span_ms() const
{
    return settings_.silence_s > 0 ? uint64_t(settings_.silence_s) * 1000 : ENDING_WITHOUT_SILENCE_MS;
}

void KnetCircuit::start_ending(bool ask, uint64_t until)
{
    ending_ = true;
    asking_to_end_ = ask;
    ending_until_ms_ = until;
    next_end_request_ms_ = now_ms_ + 1;
    end_request_gap_ms_ = 1;
    waiting_for_accept_ = false;
}

void KnetCircuit::finish()
{
    finished_ = true;
    ending_ = false;
    alive = false;
    circuit = NoCircuit;
}

void KnetCircuit::hang_up(uint64_t now_ms)
{
    now_ms_ = now_ms;
    if (finished_ || ending_)
        return;
    if (!alive) {
        finish();
        return;
    }
    alive = false;
    status_changed_ = true;
    // Lost in an outage, a single request would leave the board's line
    // taken; spread out, one of them outlasts it.
    send_control(0x00, 0);
    start_ending(true, now_ms + ending_span_ms());
}

bool KnetCircuit::resend_due(uint64_t now_ms) const
{
    // Never while the board is not ready, never to a board that has not
    // answered since the last copy (slow or gone: a copy helps neither).
    return settings_.resend_ms > 0 && awaiting_ack && peer_ready && answered_since_copy_ &&
           outstanding_size_ > 0 && now_ms - outstanding_sent_ms_ >= uint64_t(settings_.resend_ms);
}

uint64_t KnetCircuit::probe_for_ack_ms() const
{
    const uint64_t after = uint64_t(settings_.probe_s) * 1000;
    // With a resend interval shorter than the probe's, the echo must be in
    // by the time a copy is due.
    return settings_.resend_ms > 0 ? std::min(after, uint64_t(settings_.resend_ms)) : after;
}

bool KnetCircuit::probe_due(uint64_t now_ms) const
{
    const uint64_t after = uint64_t(settings_.probe_s) * 1000;
    if (after == 0 || !on_line())
        return false;
    // A quiet circuit, or a Data packet that has waited for its Ack: the
    // echo tells a lost packet from a slow board.
    const uint64_t for_ack = probe_for_ack_ms();
    return (now_ms - last_heard_ms_ >= after && now_ms - last_probe_ms_ >= after) ||
           (awaiting_ack && now_ms - outstanding_sent_ms_ >= for_ack && now_ms - last_probe_ms_ >= for_ack);
}

void KnetCircuit::tick(uint64_t now_ms, int held_for_caller, bool unsent_empty, const uint8_t* unacked)
{
    now_ms_ = now_ms;
    if (!clock_started_) {
        clock_started_ = true;
        last_heard_ms_ = now_ms;
        last_probe_ms_ = now_ms;
    }
    if (ending_) {
        tick_ending(now_ms);
        return;
    }
    if (!alive)
        return;

    if (behind_ && held_for_caller + static_cast<int>(caller_bytes_.size()) <= TO_CALLER_BOUND / 2) {
        behind_ = false;
        // The board host waits for word that it may send again.
        send_control(own_control(), 0);
    }

    if (unsent_empty && unacked && resend_due(now_ms)) {
        trace("KNET-SEND: Circuit: %d, Seq: %d, DATA, Size: %d, sent again\n", outstanding_circuit_,
                    outstanding_sequence_, outstanding_size_);
        knet_write_data(packet_space(KNET_HEADER_SIZE + outstanding_size_), outstanding_circuit_,
                        outstanding_sequence_, unacked, outstanding_size_);
        outstanding_sent_ms_ = now_ms;
        probed_since_copy_ = false;
        answered_since_copy_ = false;
    }

    if (probe_due(now_ms)) {
        last_probe_ms_ = now_ms;
        // An echo that comes now answers the probe, not the accept.
        accept_echo_pending_ = false;
        send_control(own_control(), 0);
    }

    const bool expecting_answer = waiting_for_accept_ || awaiting_ack || on_line();
    const uint64_t silence_limit = uint64_t(settings_.silence_s) * 1000;
    if (silence_limit == 0)
        return;
    if (expecting_answer && now_ms - last_heard_ms_ >= silence_limit)
        fail("not answering");
    else if (awaiting_ack && now_ms - outstanding_first_ms_ >= silence_limit)
        fail("not acknowledging");
}

void KnetCircuit::tick_ending(uint64_t now_ms)
{
    if (now_ms >= ending_until_ms_) {
        finish();
        return;
    }
    if (asking_to_end_ && now_ms >= next_end_request_ms_) {
        send_control(0x00, 0);
        end_request_gap_ms_ = std::min(end_request_gap_ms_ * 2, END_REQUEST_LONGEST_GAP_MS);
        next_end_request_ms_ = now_ms + end_request_gap_ms_;
    }
}

uint64_t KnetCircuit::next_due_ms() const
{
    uint64_t due = UINT64_MAX;
    if (!clock_started_)
        return 0;
    if (ending_)
        return asking_to_end_ ? std::min(ending_until_ms_, next_end_request_ms_) : ending_until_ms_;
    if (!alive)
        return due;
    if (settings_.resend_ms > 0 && awaiting_ack && peer_ready && answered_since_copy_ && outstanding_size_ > 0)
        due = std::min(due, outstanding_sent_ms_ + uint64_t(settings_.resend_ms));
    const uint64_t probe_after = uint64_t(settings_.probe_s) * 1000;
    if (probe_after > 0 && on_line()) {
        uint64_t probe = std::max(last_heard_ms_, last_probe_ms_) + probe_after;
        if (awaiting_ack)
            probe = std::min(probe, std::max(outstanding_sent_ms_, last_probe_ms_) + probe_for_ack_ms());
        due = std::min(due, probe);
    }
    const uint64_t silence_limit = uint64_t(settings_.silence_s) * 1000;
    if (silence_limit > 0 && (waiting_for_accept_ || awaiting_ack || on_line()))
        due = std::min(due, last_heard_ms_ + silence_limit);
    if (silence_limit > 0 && awaiting_ack)
        due = std::min(due, outstanding_first_ms_ + silence_limit);
    return due;
}

void KnetCircuit::fail(const char* why)
{
    trace("KNET: Board host %s, Line %d ended\n", why, line);
    text_to_caller(BOARD_DOWN_TEXT);
    lost_to_silence_ = true;
    status_changed_ = true;
    alive = false;
    // A board host that holds a line for us is told, once: it has not been
    // answering. Then a late answer or accept is still met, for as long
    // again.
    if (on_line())
        send_control(0x00, 0);
    start_ending(false, now_ms_ + ending_span_ms());
}

void KnetCircuit::endpoint_failed()
{
    // A failed endpoint also frees the caller's line on the board.
    if (alive)
        status_changed_ = true;
    finish();
}

void KnetCircuit::end()
{
    finish();
}

void KnetCircuit::text_to_caller(const char* text)
{
    to_caller(reinterpret_cast<const uint8_t*>(text), static_cast<int>(std::strlen(text)));
}

void KnetCircuit::to_caller(const uint8_t* bytes, int count)
{
    if (caller_sink_)
        held_by_owner_ = caller_sink_->bytes_for_caller(bytes, count);
    else
        caller_bytes_.insert(caller_bytes_.end(), bytes, bytes + count);
}

void KnetCircuit::handle_datagram(const uint8_t* bytes, int count, uint64_t now_ms, int held_for_caller)
{
    if (!bytes || count <= 0)
        return;
    now_ms_ = now_ms;
    last_heard_ms_ = now_ms;
    held_by_owner_ = held_for_caller;
    KnetPacketReader reader(bytes, count);
    KnetPacket packet;
    while (reader.next(packet))
        handle_packet(packet);
}

void KnetCircuit::handle_packet(const KnetPacket& packet)
{
    const KnetHeader& h = packet.header;
    const uint8_t* p = packet.payload;
    switch (h.type) {
    case knet::ConnectionRequest:
        trace("KNET-RECV: Circuit: %d, Got Connection request!\n", h.circuit);
        return;
    case knet::ConnectionAccept: {
        if (h.length != KNET_ACCEPT_LENGTH) {
            trace("KNET-RECV: bad connection accept packet\n");
            return;
        }
        const uint8_t granted = p[0];
        trace("KNET-RECV: Circuit: %d, Seq: %d, Connection Accepted on %d, SeqResp: %d\n", h.circuit,
                    h.sequence, granted, get_be16(p + 1));
        send_ack(0, h.sequence);
        if (ending_) {
            // Too late for the call: the line is given back at once.
            if (granted == 0) {
                finish();
            } else {
                circuit = granted;
                send_control(0x00, 0);
            }
            return;
        }
        status_changed_ = true;
        waiting_for_accept_ = false;
        have_board_packet_ = false;
        if (granted == 0) {
            // A repeated refusal (the board host resending its answer) is
            // acknowledged again but is the same lost call, told once.
            if (circuit == NoCircuit)
                return;
            text_to_caller(BUSY_TEXT);
            counts_.lost_busy = true;
            finish();
        } else {
            circuit = granted;
            line = granted;
            data_sequence = 1;
            char connected[40];
            std::snprintf(connected, sizeof connected, "Connected to KELB line %d\r\n", granted);
            text_to_caller(connected);
            accept_echo_pending_ = true;
            send_control(own_control(), 0);
        }
        return;
    }
    case knet::Ack: {
        if (h.length != KNET_ACK_LENGTH) {
            trace("KNET-RECV: bad ACK packet\n");
            return;
        }
        const uint16_t acknowledged = get_be16(p);
        const uint16_t control_word = get_be16(p + 2);
        if (awaiting_ack && acknowledged >= pending_sequence) {
            awaiting_ack = false;
            released_ += outstanding_size_;
            outstanding_size_ = 0;
        }
        peer_ready = (control_word & 0x8000) != 0;
        trace("KNET-RECV: Circuit: %d, Seq: %d, ACK for %d, control %02X\n", h.circuit, h.sequence,
                    acknowledged, control_word);
        return;
    }
    case knet::Nack:
        if (h.length != KNET_NACK_LENGTH) {
            trace("KNET-RECV: bad NACK packet\n");
            return;
        }
        trace("KNET-RECV: Circuit: %d, Seq: %d, NACK for %d, reason %d\n", h.circuit, h.sequence,
                    get_be16(p), get_be16(p + 2));
        // The board host took our outstanding packet and refused it: with
        // resending on, it goes again after the interval.
        if (awaiting_ack && get_be16(p) == pending_sequence)
            answered_since_copy_ = true;
        return;
    case knet::CircuitControl:
        if (h.length != KNET_CONTROL_LENGTH) {
            trace("KNET-RECV: bad Control packet\n");
            return;
        }
        handle_control(h, p[0], p[1]);
        return;
    case knet::Data:
        if (h.circuit != circuit) {
            trace("KNET-RECV: dropped bad data packet\n");
            return;
        }
        trace("KNET-RECV: Circuit: %d, Seq: %d, Data, Size: %d\n", h.circuit, h.sequence, h.length);
        if (ending_) {
            // No caller to take it; the board host still learns it arrived.
            send_ack(h.circuit, h.sequence);
            return;
        }
        handle_board_data(packet);
        return;
    default:
        trace("KNET-RECV: What kind of packet is this?\n");
        return;
    }
}

void KnetCircuit::handle_control(const KnetHeader& h, uint8_t control, uint8_t ack_flag)
{
    if (!(control & ControlUp)) {
        peer_ready = (control & ControlReady) != 0;
        status_changed_ = true;
        trace("KNET: Disconnected Line %d\n", h.circuit);
        // The answer still goes out on the circuit in use; the board's own
        // answer to our request to end needs none.
        if (!ending_ || ack_flag == 0)
            send_control(0x00, 0);
        finish();
        return;
    }
    if (ack_flag == 0) {
        // The board host states its own bits and wants them back.
        peer_ready = (control & ControlReady) != 0;
        send_control(control, 1);
        return;
    }
    // An echo of ours. Only the one after the accept states the board's
    // ready bit; a probe's echo shows the board alive, and that it took
    // what was sent before the probe.
    if (accept_echo_pending_) {
        accept_echo_pending_ = false;
        peer_ready = (control & ControlReady) != 0;
    }
    if (probed_since_copy_)
        answered_since_copy_ = true;
}

void KnetCircuit::handle_board_data(const KnetPacket& packet)
{
    const KnetHeader& h = packet.header;
    const uint8_t* whole = packet.payload - KNET_HEADER_SIZE;
    const size_t size = KNET_HEADER_SIZE + h.length;
    const int held = held_by_owner_ + static_cast<int>(caller_bytes_.size());
    if (held + h.length > TO_CALLER_LIMIT) {
        // Told not to send, the board host went on: it is not waiting for
        // the caller, and nothing bounds it but ending the call.
        trace("KNET: Board host sent past %d bytes held for the caller, Line %d ended\n", TO_CALLER_LIMIT,
                    line);
        hang_up(now_ms_);
        return;
    }
    if (settings_.drop_repeats) {
        // The packet passed on last, again, sequence and bytes: our Ack was
        // lost or the board host sent it twice. The caller has it already;
        // the board gets its Ack.
        if (have_board_packet_ && last_board_packet_.size() == size &&
            std::equal(whole + 2, whole + size, last_board_packet_.begin() + 2)) {
            trace("KNET-RECV: Circuit: %d, Seq: %d, repeated Data dropped\n", h.circuit, h.sequence);
            send_ack(h.circuit, h.sequence);
            return;
        }
        have_board_packet_ = true;
        last_board_packet_.assign(whole, whole + size);
    }
    to_caller(packet.payload, h.length);
    counts_.sequence_out = h.sequence;
    counts_.sequence_out_line = h.circuit;
    // Acknowledged at once, so a board host that resends what has no Ack
    // never repeats bytes to the caller; while the caller is behind, the
    // Ack says we are not ready.
    if (held_by_owner_ + static_cast<int>(caller_bytes_.size()) >= TO_CALLER_BOUND)
        behind_ = true;
    send_ack(h.circuit, h.sequence);
}
