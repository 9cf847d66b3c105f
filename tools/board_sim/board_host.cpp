#include "tools/board_sim/board_host.h"

#include <cstdio>
#include <cstring>

#include "ipx/ipx_packet.h"
#include "link/knet_packet.h"
#include "tools/board_sim/pattern_check.h"

namespace {

constexpr uint16_t NACK_REASON_REFUSED = 1;

}

struct BoardHost::Line {
    Line(int number, bool echo_only) : number(number), menu(number, echo_only) {}
    int number;
    BoardMenu menu;
    bool active = false;
    IpxAddress peer;
    uint16_t data_sequence = 1;
    uint16_t control_sequence = 1;
    std::string pending;  // output not yet sent, from pending_from on
    size_t pending_from = 0;
    bool awaiting_ack = false;
    std::vector<uint8_t> outstanding;
    uint16_t outstanding_sequence = 0;
    uint64_t sent_at = 0;
    bool ready = true;  // our own ready bit
    bool peer_ready = true;  // the caller's side takes Data
    uint64_t ready_again_at = 0;
    uint64_t hangup_at = 0;
    bool closing = false;  // end the circuit once the output is out
    std::unique_ptr<PatternCheck> check;  // with --verify
    bool have_input_sequence = false;  // the caller's Data packet taken last
    uint8_t input_circuit = 0;
    uint16_t input_sequence = 0;
};

BoardHost::BoardHost(const BoardOptions& options, IpxStack* stack) : options_(options), stack_(stack)
{
    for (int i = 1; i <= options_.lines; ++i)
        lines_.push_back(std::make_unique<Line>(i, options_.echo_only));
}

BoardHost::~BoardHost()
{
    close();
}

int BoardHost::open()
{
    endpoint_ = stack_ ? std::make_unique<IpxEndpoint>(*stack_) : std::make_unique<IpxEndpoint>();
    if (endpoint_->open(static_cast<uint16_t>(options_.socket_number)) != 0)
        return -1;
    // The header tells us who sent each datagram, so one socket serves all.
    if (endpoint_->set_receive_header(1) != 0)
        return -1;
    return 0;
}

uint16_t BoardHost::socket_number() const
{
    return endpoint_ ? endpoint_->socket_number() : 0;
}

bool BoardHost::joined()
{
    const int ready = endpoint_ ? endpoint_->poll() : -1;
    return ready > 0 && (ready & PollWritable);
}

void BoardHost::close()
{
    if (endpoint_) {
        endpoint_->close();
        endpoint_.reset();
    }
}

int BoardHost::active_lines() const
{
    int n = 0;
    for (const auto& l : lines_)
        n += l->active ? 1 : 0;
    return n;
}

uint64_t BoardHost::poll(uint64_t now_ms)
{
    if (endpoint_) {
        // A bounded number per pass, so that sending is never starved.
        for (int i = 0; i < 64 && (endpoint_->poll() & PollReadable); ++i) {
            const int n = endpoint_->receive(receive_buffer_, sizeof receive_buffer_);
            if (n < static_cast<int>(IPX_HEADER_SIZE))
                break;
            IpxAddress from = IpxAddress::read(receive_buffer_ + IPX_SOURCE_OFFSET);
            handle_datagram(from, receive_buffer_ + IPX_HEADER_SIZE, n - static_cast<int>(IPX_HEADER_SIZE),
                            now_ms);
        }
    }
    for (auto& l : lines_) {
        Line& line = *l;
        if (!line.active)
            continue;
        if (!line.ready && now_ms >= line.ready_again_at) {
            line.ready = true;
            send_control(line, ControlReady | ControlActive | ControlUp, 0);
        }
        if (line.hangup_at && now_ms >= line.hangup_at && !line.closing) {
            line.pending += "\r\nTime is up.\r\n";
            line.closing = true;
        }
        send_pending(line, now_ms);
    }
    if (endpoint_)
        flush();
    return next_due(now_ms);
}

uint64_t BoardHost::next_due(uint64_t now_ms)
{
    // Datagrams left over by the bounded read above.
    if (endpoint_ && (endpoint_->poll() & PollReadable))
        return now_ms;
    uint64_t due = BOARD_NOTHING_DUE;
    auto at = [&due](uint64_t when) { due = when < due ? when : due; };
    for (const auto& l : lines_) {
        const Line& line = *l;
        if (!line.active)
            continue;
        if (!line.ready)
            at(line.ready_again_at);
        if (line.hangup_at && !line.closing)
            at(line.hangup_at);
        if (line.awaiting_ack && line.peer_ready && options_.resend_ms)
            at(line.sent_at + static_cast<uint64_t>(options_.resend_ms));
    }
    // Datagrams the carrier would not take yet: the join wakes the caller's
    // wait, a full carrier does not, so look again shortly.
    if (endpoint_ && !outgoing_.empty())
        at(now_ms + 1);
    return due < now_ms ? now_ms : due;
}

void BoardHost::handle_datagram(const IpxAddress& from, const uint8_t* bytes, int count, uint64_t now_ms)
{
    if (options_.silent)
        return;
    KnetPacketReader reader(bytes, count);
    KnetPacket p;
    while (reader.next(p)) {
        ++packets_received_;
        if (options_.drop_every && packets_received_ % options_.drop_every == 0)
            continue;
        if (!knet_length_valid(p.header)) {
            std::printf("board: bad packet type %d length %d from %s\n", p.header.type, p.header.length,
                        from.text().c_str());
            continue;
        }
        handle_packet(from, p.header.type, p.header.circuit, p.header.sequence, p.payload, p.header.length,
                      now_ms);
    }
    if (reader.left() > 0)
        std::printf("board: %d stray bytes at the end of a datagram from %s\n", reader.left(),
                    from.text().c_str());
}

BoardHost::Line* BoardHost::owned_line(const IpxAddress& from, uint8_t circuit)
{
    if (circuit == 0 || circuit > lines_.size())
        return nullptr;
    Line& line = *lines_[circuit - 1];
    return line.active && line.peer == from ? &line : nullptr;
}

BoardHost::Line* BoardHost::line_of_peer(const IpxAddress& from)
{
    for (auto& l : lines_)
        if (l->active && l->peer == from)
            return l.get();
    return nullptr;
}

void BoardHost::handle_packet(const IpxAddress& from, uint8_t type, uint8_t circuit, uint16_t sequence,
                              const uint8_t* payload, int length, uint64_t now_ms)
{
    uint8_t packet[KNET_MAX_PACKET];
    switch (type) {
    case knet::ConnectionRequest:
        connect(from, sequence, now_ms);
        return;
    case knet::Ack: {
        Line* line = owned_line(from, circuit);
        if (line && line->awaiting_ack && get_be16(payload) == line->outstanding_sequence) {
            line->awaiting_ack = false;
            line->outstanding.clear();
        }
        // The adapter holds us back while its caller is behind.
        if (line)
            line->peer_ready = (get_be16(payload + 2) & 0x8000) != 0;
        return;
    }
    case knet::CircuitControl: {
        Line* line = owned_line(from, circuit);
        if (!line)
            return;  // a stale circuit: its line is gone or has a new caller
        const uint8_t control = payload[0];
        const uint8_t flag = payload[1];
        if (!(control & ControlUp)) {
            if (flag == 0)
                send_control(*line, 0x00, 1);
            end_line(*line, "ended by the caller");
        } else if (flag == 0) {
            line->peer_ready = (control & ControlReady) != 0;
            // The answer states our own ready bit.
            const uint8_t mine = (control & ~ControlReady) | (line->ready ? ControlReady : 0);
            send_control(*line, mine, 1);
        }
        return;
    }
    case knet::Data: {
        Line* line = circuit == 0 ? line_of_peer(from) : owned_line(from, circuit);
        ++data_received_;
        if (options_.nack_every && data_received_ % options_.nack_every == 0) {
            const int n = knet_write_nack(packet, circuit, line ? line->control_sequence++ : 0, sequence,
                                          NACK_REASON_REFUSED);
            queue(from, packet, n);
            return;
        }
        if (circuit != 0 && !line)
            return;
        // Bytes sent before the accept arrived belong to the line being set up.
        const uint16_t ack_sequence = line ? line->control_sequence++ : circuit0_sequence_++;
        const uint16_t word = (!line || line->ready) ? 0xE000 : 0x6000;
        const int n = knet_write_ack(packet, circuit, ack_sequence, sequence, word);
        queue(from, packet, n);
        // With --drop-repeats a packet sent again because our Ack was lost
        // is acknowledged again but taken only once.
        const bool repeat = options_.drop_repeats && line && line->have_input_sequence &&
                            line->input_sequence == sequence && line->input_circuit == circuit;
        if (line && !repeat) {
            line->have_input_sequence = true;
            line->input_circuit = circuit;
            line->input_sequence = sequence;
            take_data(*line, circuit, sequence, payload, length);
        }
        return;
    }
    default:
        // Accepts and Nacks travel the other way only.
        return;
    }
}

void BoardHost::connect(const IpxAddress& from, uint16_t request_sequence, uint64_t now_ms)
{
    uint8_t packet[KNET_MAX_PACKET];
    // A repeated request from a caller already on a line gets the same line.
    Line* line = line_of_peer(from);
    if (!line && !options_.busy) {
        for (auto& l : lines_) {
            if (!l->active) {
                line = l.get();
                break;
            }
        }
        if (line) {
            *line = Line(line->number, options_.echo_only);
            line->active = true;
            line->peer = from;
            if (options_.not_ready_ms && line->number > options_.ready_lines) {
                line->ready = false;
                line->ready_again_at = now_ms + options_.not_ready_ms;
            }
            if (options_.hangup_after_ms)
                line->hangup_at = now_ms + options_.hangup_after_ms;
            if (options_.verify_bytes)
                line->check = std::make_unique<PatternCheck>(options_.verify_bytes);
            line->pending = options_.discard || line->check ? std::string() : line->menu.banner();
            const int bulk = !options_.bulk_lines || line->number <= options_.bulk_lines ? options_.bulk_bytes : 0;
            for (int i = 0; i < bulk; ++i)
                line->pending.push_back(PatternCheck::byte_at(i));
            std::printf("board: line %d connected to %s\n", line->number, from.text().c_str());
        }
    }
    const uint8_t number = line ? static_cast<uint8_t>(line->number) : 0;
    if (!line)
        std::printf("board: busy, refused %s\n", from.text().c_str());
    const int n = knet_write_connection_accept(packet, circuit0_sequence_++, number, request_sequence);
    queue(from, packet, n);
    if (line && !line->ready)
        send_control(*line, ControlActive | ControlUp, 0);
}

void BoardHost::take_data(Line& line, uint8_t, uint16_t, const uint8_t* payload, int length)
{
    if (line.closing || options_.discard)
        return;
    if (line.check) {
        const std::string report = line.check->take(payload, length);
        if (!report.empty())
            std::printf("board: line %d: %s", line.number, report.c_str());
        line.pending += report;
        return;
    }
    const std::string answer = line.menu.input(std::string(reinterpret_cast<const char*>(payload), length),
                                               who_text());
    line.pending += answer;
    if (line.menu.finished())
        line.closing = true;
}

void BoardHost::send_pending(Line& line, uint64_t now_ms)
{
    if (!line.peer_ready)
        return;
    if (line.awaiting_ack) {
        // Board output is stop-and-wait too; only when asked does an
        // unanswered packet go again.
        if (options_.resend_ms && now_ms - line.sent_at >= uint64_t(options_.resend_ms)) {
            queue(line.peer, line.outstanding.data(), static_cast<int>(line.outstanding.size()));
            line.sent_at = now_ms;
        }
        return;
    }
    const size_t left = line.pending.size() - line.pending_from;
    if (left == 0) {
        if (line.closing) {
            send_control(line, 0x00, 0);
            end_line(line, "ended by the board");
        }
        return;
    }
    const int count = left < KNET_MAX_DATA ? static_cast<int>(left) : KNET_MAX_DATA;
    line.outstanding.resize(KNET_HEADER_SIZE + count);
    knet_write_data(line.outstanding.data(), static_cast<uint8_t>(line.number), line.data_sequence,
                    reinterpret_cast<const uint8_t*>(line.pending.data() + line.pending_from), count);
    line.outstanding_sequence = line.data_sequence++;
    // Sent bytes are dropped once they are half the buffer, not packet by
    // packet: erasing from the front of megabytes of bulk output for every
    // 512 bytes cost more than the exchange itself.
    line.pending_from += count;
    if (line.pending_from >= line.pending.size() / 2) {
        line.pending.erase(0, line.pending_from);
        line.pending_from = 0;
    }
    line.awaiting_ack = true;
    line.sent_at = now_ms;
    queue(line.peer, line.outstanding.data(), static_cast<int>(line.outstanding.size()));
    ++data_sent_;
    if (options_.duplicate_every && data_sent_ % options_.duplicate_every == 0)
        queue(line.peer, line.outstanding.data(), static_cast<int>(line.outstanding.size()));
}

void BoardHost::send_control(Line& line, uint8_t control, uint8_t flag)
{
    uint8_t packet[KNET_HEADER_SIZE + KNET_CONTROL_LENGTH];
    const int n =
        knet_write_control(packet, static_cast<uint8_t>(line.number), line.control_sequence++, control, flag);
    queue(line.peer, packet, n);
}

void BoardHost::end_line(Line& line, const char* why)
{
    std::printf("board: line %d %s\n", line.number, why);
    line.active = false;
    line.pending.clear();
    line.pending_from = 0;
    line.awaiting_ack = false;
    line.closing = false;
}

std::string BoardHost::who_text() const
{
    std::string t;
    for (const auto& l : lines_)
        t += "Line " + std::to_string(l->number) + ": " + (l->active ? l->peer.text() : std::string("free")) +
             "\r\n";
    return t;
}

void BoardHost::queue(const IpxAddress& to, const uint8_t* bytes, int count)
{
    outgoing_.emplace_back(to, std::vector<uint8_t>(bytes, bytes + count));
}

std::vector<std::pair<IpxAddress, std::vector<uint8_t>>> BoardHost::take_outgoing()
{
    std::vector<std::pair<IpxAddress, std::vector<uint8_t>>> out;
    out.swap(outgoing_);
    return out;
}

void BoardHost::flush()
{
    size_t sent = 0;
    for (; sent < outgoing_.size(); ++sent) {
        auto& [to, bytes] = outgoing_[sent];
        endpoint_->set_destination(to);
        const int r = endpoint_->send(bytes.data(), static_cast<int>(bytes.size()));
        if (r == 0)
            break;  // not joined yet, or would block: the rest waits
        if (r < 0)
            std::printf("board: send to %s failed\n", to.text().c_str());
    }
    outgoing_.erase(outgoing_.begin(), outgoing_.begin() + sent);
}
