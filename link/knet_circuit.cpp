#include "link/knet_circuit.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "app/statistics_board.h"

namespace {

const char* const BUSY_TEXT = "KELB is currently busy, please call back again later.\r\n";

// A refused packet goes again soon, but not in a tight loop with a board
// host that refuses everything.
constexpr uint64_t RESEND_AFTER_NACK_MS = 50;

}

const char* const BOARD_DOWN_TEXT = "\r\nKELB is currently down.  Please try back later.\r\n";

uint8_t* KnetCircuit::packet_space(int size)
{
    packets_.resize(packets_.size() + size);
    return packets_.data() + packets_.size() - size;
}

bool KnetCircuit::take_status_changed()
{
    const bool changed = status_changed_;
    status_changed_ = false;
    return changed;
}

void KnetCircuit::request_connection(const char* service_name)
{
    const uint16_t sequence = circuit0_sequence;
    std::printf("KNET-SEND: Circuit: 0, Seq: %d, Connection Request: %s\n", sequence, service_name);
    knet_write_connection_request(packet_space(knet_connection_request_size(service_name)), sequence,
                                  service_name);
    circuit0_sequence = static_cast<uint16_t>(sequence + 1);
    waiting_for_accept_ = true;
}

void KnetCircuit::send_ack(uint8_t circuit_number, uint16_t acknowledged)
{
    uint16_t& counter = circuit_number == 0 ? circuit0_sequence : control_sequence;
    const uint16_t sequence = counter;
    std::printf("KNET-SEND: Circuit: %d, Seq: %d, ACK for %d\n", circuit_number, sequence, acknowledged);
    knet_write_ack(packet_space(KNET_HEADER_SIZE + KNET_ACK_LENGTH), circuit_number, sequence, acknowledged,
                   KNET_ACK_CONTROL_WORD);
    counter = static_cast<uint16_t>(sequence + 1);
}

void KnetCircuit::send_control(uint8_t control, uint8_t ack_flag)
{
    const uint8_t circuit_number = circuit;
    const uint16_t sequence = control_sequence;
    std::printf("KNET-SEND: Circuit: %d, Seq: %d, Circuit Control %02X, ACK: %02X\n", circuit_number,
                sequence, control, ack_flag);
    knet_write_control(packet_space(KNET_HEADER_SIZE + KNET_CONTROL_LENGTH), circuit_number, sequence, control,
                       ack_flag);
    control_sequence = static_cast<uint16_t>(sequence + 1);
}

bool KnetCircuit::send_data(const uint8_t* bytes, int count)
{
    const uint8_t circuit_number = circuit;
    const uint16_t sequence = data_sequence;
    std::printf("KNET-SEND: Circuit: %d, Seq: %d, DATA, Size: %d\n", circuit_number, sequence, count);
    if (KNET_HEADER_SIZE + count > KNET_MAX_PACKET) {
        std::printf("KNET-SEND: Data packet too large\n");
        return false;
    }
    const int size = KNET_HEADER_SIZE + count;
    uint8_t* p = packet_space(size);
    knet_write_data(p, circuit_number, sequence, bytes, count);
    outstanding_.assign(p, p + size);
    outstanding_sent_ms_ = now_ms_;
    resend_after_nack_ = false;
    awaiting_ack = true;
    pending_sequence = sequence;
    data_sequence = static_cast<uint16_t>(sequence + 1);
    stats_board.set_line_seq_in(circuit_number, sequence);
    return true;
}

int KnetCircuit::take_caller_bytes(const uint8_t* bytes, int count)
{
    if (!peer_ready || awaiting_ack || count <= 0)
        return 0;
    const int k = count < KNET_MAX_DATA ? count : KNET_MAX_DATA;
    return send_data(bytes, k) ? k : 0;
}

void KnetCircuit::tick(uint64_t now_ms, int held_for_caller, bool unsent_empty)
{
    now_ms_ = now_ms;
    if (!clock_started_) {
        clock_started_ = true;
        last_heard_ms_ = now_ms;
        last_probe_ms_ = now_ms;
    }
    if (!alive)
        return;

    if (ack_deferred_ && held_for_caller + static_cast<int>(caller_bytes_.size()) < TO_CALLER_BOUND) {
        ack_deferred_ = false;
        send_ack(deferred_circuit_, deferred_sequence_);
    }

    const uint64_t resend_after = resend_after_nack_ ? RESEND_AFTER_NACK_MS : uint64_t(settings_.resend_ms);
    // Never while the board host is not ready, and never a second copy
    // behind one not yet sent.
    if (settings_.resend_ms > 0 && awaiting_ack && peer_ready && unsent_empty && !outstanding_.empty() &&
        now_ms - outstanding_sent_ms_ >= resend_after) {
        const int size = static_cast<int>(outstanding_.size());
        std::printf("KNET-SEND: Circuit: %d, Seq: %d, DATA, Size: %d, sent again\n", outstanding_[5],
                    get_be16(outstanding_.data() + 2), size - KNET_HEADER_SIZE);
        packets_.insert(packets_.end(), outstanding_.begin(), outstanding_.end());
        outstanding_sent_ms_ = now_ms;
        resend_after_nack_ = false;
    }

    const bool connected = circuit != 0 && circuit != NoCircuit;
    const uint64_t probe_after = uint64_t(settings_.probe_s) * 1000;
    if (probe_after > 0 && connected && now_ms - last_heard_ms_ >= probe_after &&
        now_ms - last_probe_ms_ >= probe_after) {
        last_probe_ms_ = now_ms;
        send_control(ControlReady | ControlActive | ControlUp, 0);
    }

    const bool expecting_answer = waiting_for_accept_ || awaiting_ack || connected;
    const uint64_t silence_limit = uint64_t(settings_.silence_s) * 1000;
    if (silence_limit > 0 && expecting_answer && now_ms - last_heard_ms_ >= silence_limit)
        fail("not answering");
}

uint64_t KnetCircuit::next_due_ms() const
{
    uint64_t due = UINT64_MAX;
    if (!clock_started_)
        return 0;
    if (!alive)
        return due;
    const uint64_t resend_after = resend_after_nack_ ? RESEND_AFTER_NACK_MS : uint64_t(settings_.resend_ms);
    if (settings_.resend_ms > 0 && awaiting_ack && peer_ready && !outstanding_.empty())
        due = std::min(due, outstanding_sent_ms_ + resend_after);
    const bool connected = circuit != 0 && circuit != NoCircuit;
    const uint64_t probe_after = uint64_t(settings_.probe_s) * 1000;
    if (probe_after > 0 && connected)
        due = std::min(due, std::max(last_heard_ms_, last_probe_ms_) + probe_after);
    const uint64_t silence_limit = uint64_t(settings_.silence_s) * 1000;
    if (silence_limit > 0 && (waiting_for_accept_ || awaiting_ack || connected))
        due = std::min(due, last_heard_ms_ + silence_limit);
    return due;
}

void KnetCircuit::fail(const char* why)
{
    std::printf("KNET: Board host %s, Line %d ended\n", why, line);
    print_to_caller("%s", BOARD_DOWN_TEXT);
    waiting_for_accept_ = false;
    circuit = NoCircuit;
    status_changed_ = true;
    alive = false;
}

void KnetCircuit::endpoint_failed()
{
    // A failed endpoint also frees the caller's line on the board.
    if (alive)
        status_changed_ = true;
    alive = false;
}

void KnetCircuit::end()
{
    circuit = NoCircuit;
}

void KnetCircuit::print_to_caller(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n <= 0)
        return;
    const int length = n < static_cast<int>(sizeof text) ? n : static_cast<int>(sizeof text) - 1;
    caller_bytes_.insert(caller_bytes_.end(), text, text + length);
}

void KnetCircuit::handle_datagram(const uint8_t* bytes, int count, uint64_t now_ms, int held_for_caller)
{
    if (!bytes || count <= 0)
        return;
    now_ms_ = now_ms;
    last_heard_ms_ = now_ms;
    KnetPacketReader reader(bytes, count);
    KnetPacket packet;
    while (reader.next(packet))
        handle_packet(packet, held_for_caller);
}

void KnetCircuit::handle_packet(const KnetPacket& packet, int held_for_caller)
{
    const KnetHeader& h = packet.header;
    const uint8_t* p = packet.payload;
    switch (h.type) {
    case knet::ConnectionRequest:
        std::printf("KNET-RECV: Circuit: %d, Got Connection request!\n", h.circuit);
        return;
    case knet::ConnectionAccept: {
        if (h.length != KNET_ACCEPT_LENGTH) {
            std::printf("KNET-RECV: bad connection accept packet\n");
            return;
        }
        const uint8_t granted = p[0];
        status_changed_ = true;
        waiting_for_accept_ = false;
        have_board_packet_ = false;
        std::printf("KNET-RECV: Circuit: %d, Seq: %d, Connection Accepted on %d, SeqResp: %d\n", h.circuit,
                    h.sequence, granted, get_be16(p + 1));
        send_ack(0, h.sequence);
        if (granted == 0) {
            // A repeated refusal (the board host resending its answer) is
            // acknowledged again but is the same lost call, told once.
            if (circuit == NoCircuit)
                return;
            circuit = NoCircuit;
            print_to_caller("%s", BUSY_TEXT);
            stats_board.count_call_lost_busy();
        } else {
            circuit = granted;
            line = granted;
            data_sequence = 1;
            print_to_caller("Connected to KELB line %d\r\n", granted);
            send_control(ControlReady | ControlActive | ControlUp, 0);
        }
        return;
    }
    case knet::Ack: {
        if (h.length != KNET_ACK_LENGTH) {
            std::printf("KNET-RECV: bad ACK packet\n");
            return;
        }
        const uint16_t acknowledged = get_be16(p);
        const uint16_t control_word = get_be16(p + 2);
        if (awaiting_ack && acknowledged >= pending_sequence) {
            awaiting_ack = false;
            outstanding_.clear();
        }
        peer_ready = (control_word & 0x8000) != 0;
        std::printf("KNET-RECV: Circuit: %d, Seq: %d, ACK for %d, control %02X\n", h.circuit, h.sequence,
                    acknowledged, control_word);
        return;
    }
    case knet::Nack:
        if (h.length != KNET_NACK_LENGTH) {
            std::printf("KNET-RECV: bad NACK packet\n");
            return;
        }
        std::printf("KNET-RECV: Circuit: %d, Seq: %d, NACK for %d, reason %d\n", h.circuit, h.sequence,
                    get_be16(p), get_be16(p + 2));
        // The board host refused our outstanding packet: with resending on,
        // it goes again soon.
        if (settings_.resend_ms > 0 && awaiting_ack && get_be16(p) == pending_sequence)
            resend_after_nack_ = true;
        return;
    case knet::CircuitControl: {
        if (h.length != KNET_CONTROL_LENGTH) {
            std::printf("KNET-RECV: bad Control packet\n");
            return;
        }
        const uint8_t control = p[0];
        const uint8_t ack_flag = p[1];
        peer_ready = (control & ControlReady) != 0;
        if (!(control & ControlUp)) {
            status_changed_ = true;
            std::printf("KNET: Disconnected Line %d\n", h.circuit);
            // The answer still goes out on the circuit in use.
            send_control(0x00, 0);
            circuit = NoCircuit;
        } else if (ack_flag == 0) {
            send_control(control, 1);
        }
        return;
    }
    case knet::Data:
        if (h.circuit != circuit) {
            std::printf("KNET-RECV: dropped bad data packet\n");
            return;
        }
        std::printf("KNET-RECV: Circuit: %d, Seq: %d, Data, Size: %d\n", h.circuit, h.sequence, h.length);
        handle_board_data(packet, held_for_caller);
        return;
    default:
        std::printf("KNET-RECV: What kind of packet is this?\n");
        return;
    }
}

void KnetCircuit::handle_board_data(const KnetPacket& packet, int held_for_caller)
{
    const KnetHeader& h = packet.header;
    const uint8_t* whole = packet.payload - KNET_HEADER_SIZE;
    const size_t size = KNET_HEADER_SIZE + h.length;
    if (settings_.drop_repeats) {
        // The packet passed on last, again, sequence and bytes: our Ack was
        // lost or the board host sent it twice. The caller has it already;
        // the board gets its Ack, unless that waits for the caller anyway.
        if (have_board_packet_ && last_board_packet_.size() == size &&
            std::equal(whole + 2, whole + size, last_board_packet_.begin() + 2)) {
            std::printf("KNET-RECV: Circuit: %d, Seq: %d, repeated Data dropped\n", h.circuit, h.sequence);
            if (!ack_deferred_)
                send_ack(h.circuit, h.sequence);
            return;
        }
        have_board_packet_ = true;
        last_board_packet_.assign(whole, whole + size);
    }
    // A board host that does not wait for each Ack still gets every one.
    if (ack_deferred_) {
        ack_deferred_ = false;
        send_ack(deferred_circuit_, deferred_sequence_);
    }
    caller_bytes_.insert(caller_bytes_.end(), packet.payload, packet.payload + h.length);
    stats_board.set_line_seq_out(h.circuit, h.sequence);
    if (held_for_caller + static_cast<int>(caller_bytes_.size()) >= TO_CALLER_BOUND) {
        // The caller is behind: the board host waits for this Ack until the
        // caller has taken what is held, rather than the queue growing.
        ack_deferred_ = true;
        deferred_circuit_ = h.circuit;
        deferred_sequence_ = h.sequence;
        return;
    }
    send_ack(h.circuit, h.sequence);
}
