#include "tests/link/strict_board.h"

using knet_bytes::Bytes;

void StrictBoard::receive(const Bytes& datagram)
{
    KnetPacketReader reader(datagram.data(), static_cast<int>(datagram.size()));
    KnetPacket p;
    while (reader.next(p)) {
        const KnetHeader& h = p.header;
        if (h.type == knet::ConnectionRequest) {
            outbox.push_back(knet_bytes::accept(circuit0_sequence_++, line_, h.sequence));
        } else if (h.type == knet::Data) {
            ++data_packets;
            received.append(reinterpret_cast<const char*>(p.payload), h.length);
            held_acks_.push_back({h.circuit, h.sequence});
            if (!hold_acks)
                release_acks();
        } else if (h.type == knet::CircuitControl && h.length == KNET_CONTROL_LENGTH && p.payload[1] == 0 &&
                   (p.payload[0] & ControlUp)) {
            const uint8_t mine = static_cast<uint8_t>((p.payload[0] & ~ControlReady) | (ready ? ControlReady : 0));
            outbox.push_back(knet_bytes::control(line_, sequence_++, mine, 1));
        }
    }
}

void StrictBoard::release_acks()
{
    for (const Held& held : held_acks_)
        outbox.push_back(knet_bytes::ack(held.circuit, sequence_++, held.sequence, ready ? 0xE000 : 0x6000));
    held_acks_.clear();
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
