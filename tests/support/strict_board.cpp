#include "tests/support/strict_board.h"

namespace support {

using knet_bytes::Bytes;

void StrictBoard::receive(const Bytes& datagram)
{
    KnetPacketReader reader(datagram.data(), static_cast<int>(datagram.size()));
    KnetPacket p;
    while (reader.next(p)) {
        const KnetHeader& h = p.header;
        if (h.type == knet::ConnectionRequest) {
            const uint8_t given = line_taken ? 0 : line_;
            if (!line_taken) {
                line_taken = true;
                ++connections;
                peer_ready = true;
                awaiting_ack_ = false;
            }
            outbox.push_back(knet_bytes::accept(circuit0_sequence_++, given, h.sequence));
        } else if (h.type == knet::Data) {
            ++data_packets;
            received.append(reinterpret_cast<const char*>(p.payload), h.length);
            held_acks_.push_back({h.circuit, h.sequence});
            if (!hold_acks)
                release_acks();
        } else if (h.type == knet::Ack && h.length == KNET_ACK_LENGTH) {
            if (awaiting_ack_ && get_be16(p.payload) == outstanding_sequence_)
                awaiting_ack_ = false;
            peer_ready = (get_be16(p.payload + 2) & 0x8000) != 0;
        } else if (h.type == knet::CircuitControl && h.length == KNET_CONTROL_LENGTH) {
            const uint8_t byte = p.payload[0];
            const uint8_t flag = p.payload[1];
            controls.emplace_back(byte, flag);
            if (flag == 0) {
                if (byte & ControlUp)
                    peer_ready = (byte & ControlReady) != 0;
                outbox.push_back(knet_bytes::control(line_, sequence_++, byte, 1));
            }
            if (!(byte & ControlUp) && h.circuit == line_)
                line_taken = false;
        }
    }
}

void StrictBoard::release_acks()
{
    for (const Held& held : held_acks_)
        outbox.push_back(knet_bytes::ack(held.circuit, sequence_++, held.sequence, ready ? 0xE000 : 0x6000));
    held_acks_.clear();
}

void StrictBoard::tick(uint64_t now_ms)
{
    if (!line_taken || !peer_ready)
        return;
    if (awaiting_ack_) {
        if (resend_ms > 0 && now_ms - sent_ms_ >= uint64_t(resend_ms)) {
            outbox.push_back(outstanding_);
            sent_ms_ = now_ms;
        }
        return;
    }
    if (output_.empty())
        return;
    const size_t n = output_.size() < size_t(KNET_MAX_DATA) ? output_.size() : size_t(KNET_MAX_DATA);
    outstanding_sequence_ = sequence_;
    outstanding_ = data(output_.substr(0, n));
    output_.erase(0, n);
    awaiting_ack_ = true;
    sent_ms_ = now_ms;
    outbox.push_back(outstanding_);
}

Bytes StrictBoard::data(const std::string& text)
{
    return knet_bytes::data(line_, sequence_++, text);
}

Bytes StrictBoard::data_with_sequence(uint16_t sequence, const std::string& text)
{
    return knet_bytes::data(line_, sequence, text);
}

Bytes StrictBoard::control(uint8_t control_byte)
{
    return knet_bytes::control(line_, sequence_++, control_byte, 0);
}

}
