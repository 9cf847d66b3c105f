#include "link/knet_packet.h"

#include <cstring>

void knet_write_header(uint8_t* p, uint16_t length, uint16_t sequence, uint8_t type, uint8_t circuit)
{
    std::memset(p, 0, KNET_HEADER_SIZE);
    put_be16(p, length);
    put_be16(p + 2, sequence);
    p[4] = type;
    p[5] = circuit;
}

KnetHeader knet_read_header(const uint8_t* p)
{
    KnetHeader h;
    h.length = get_be16(p);
    h.sequence = get_be16(p + 2);
    h.type = p[4];
    h.circuit = p[5];
    h.reserved = get_be16(p + 6);
    return h;
}

int knet_connection_request_size(const char* service_name)
{
    return KNET_HEADER_SIZE + static_cast<int>(std::strlen(service_name)) + 1;
}

int knet_write_connection_request(uint8_t* p, uint16_t sequence, const char* service_name)
{
    const int length = static_cast<int>(std::strlen(service_name)) + 1;
    std::memcpy(p + KNET_HEADER_SIZE, service_name, length);
    knet_write_header(p, static_cast<uint16_t>(length), sequence, knet::ConnectionRequest, 0);
    return KNET_HEADER_SIZE + length;
}

int knet_write_connection_accept(uint8_t* p, uint16_t sequence, uint8_t line, uint16_t seq_resp)
{
    p[KNET_HEADER_SIZE] = line;
    // SeqResp sits at an odd offset: written byte by byte.
    put_be16(p + KNET_HEADER_SIZE + 1, seq_resp);
    knet_write_header(p, KNET_ACCEPT_LENGTH, sequence, knet::ConnectionAccept, 0);
    return KNET_HEADER_SIZE + KNET_ACCEPT_LENGTH;
}

int knet_write_ack(uint8_t* p, uint8_t circuit, uint16_t sequence, uint16_t acknowledged,
                   uint16_t control_word)
{
    put_be16(p + KNET_HEADER_SIZE, acknowledged);
    put_be16(p + KNET_HEADER_SIZE + 2, control_word);
    knet_write_header(p, KNET_ACK_LENGTH, sequence, knet::Ack, circuit);
    return KNET_HEADER_SIZE + KNET_ACK_LENGTH;
}

int knet_write_nack(uint8_t* p, uint8_t circuit, uint16_t sequence, uint16_t refused, uint16_t reason)
{
    put_be16(p + KNET_HEADER_SIZE, refused);
    put_be16(p + KNET_HEADER_SIZE + 2, reason);
    knet_write_header(p, KNET_NACK_LENGTH, sequence, knet::Nack, circuit);
    return KNET_HEADER_SIZE + KNET_NACK_LENGTH;
}

int knet_write_control(uint8_t* p, uint8_t circuit, uint16_t sequence, uint8_t control, uint8_t ack_flag)
{
    p[KNET_HEADER_SIZE] = control;
    p[KNET_HEADER_SIZE + 1] = ack_flag;
    knet_write_header(p, KNET_CONTROL_LENGTH, sequence, knet::CircuitControl, circuit);
    return KNET_HEADER_SIZE + KNET_CONTROL_LENGTH;
}

int knet_write_data(uint8_t* p, uint8_t circuit, uint16_t sequence, const uint8_t* bytes, int count)
{
    if (count > 0)
        std::memcpy(p + KNET_HEADER_SIZE, bytes, count);
    knet_write_header(p, static_cast<uint16_t>(count), sequence, knet::Data, circuit);
    return KNET_HEADER_SIZE + count;
}

bool KnetPacketReader::next(KnetPacket& packet)
{
    const int left = count_ - offset_;
    if (left < KNET_HEADER_SIZE)
        return false;
    const KnetHeader header = knet_read_header(bytes_ + offset_);
    if (header.length > left - KNET_HEADER_SIZE)
        return false;
    packet.header = header;
    packet.payload = bytes_ + offset_ + KNET_HEADER_SIZE;
    offset_ += KNET_HEADER_SIZE + header.length;
    return true;
}

bool knet_length_valid(const KnetHeader& header)
{
    switch (header.type) {
    case knet::ConnectionRequest:
        return true;
    case knet::ConnectionAccept:
        return header.length == KNET_ACCEPT_LENGTH;
    case knet::Ack:
        return header.length == KNET_ACK_LENGTH;
    case knet::Nack:
        return header.length == KNET_NACK_LENGTH;
    case knet::CircuitControl:
        return header.length == KNET_CONTROL_LENGTH;
    case knet::Data:
        return true;
    default:
        return false;
    }
}
