#include "sap/sap_envelope.h"

#include <cstring>

namespace {
void put_big_endian16(uint8_t* p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}
}

bool queue_sap_record(ByteQueue& queue, const SapRecord& record)
{
    int32_t payload;
    if (record.operation == GSQ || record.operation == NSQ)
        payload = 4;
    else if (record.operation == GSR || record.operation == NSR)
        payload = 2 + SAP_ENTRY_LENGTH;
    else
        return false;

    int32_t total = payload + SAP_ENVELOPE_LENGTH;
    queue.reserve(total);
    if (queue.space() < total)
        return false;

    uint8_t* e = queue.tail();
    std::memset(e, 0, SAP_ENVELOPE_LENGTH);
    uint16_t total16 = static_cast<uint16_t>(total);
    std::memcpy(e + 2, &total16, 2);
    std::memcpy(e + 6, record.peer.network, 4);
    std::memcpy(e + 10, record.peer.node, 6);
    put_big_endian16(e + 16, record.peer.socket);

    uint8_t* p = e + SAP_ENVELOPE_LENGTH;
    put_big_endian16(p, record.operation);
    put_big_endian16(p + 2, record.service_type);
    if (payload > 4) {
        std::memset(p + 4, 0, SAP_NAME_LENGTH);
        std::memcpy(p + 4, record.name, strnlen(record.name, SAP_NAME_LENGTH));
        std::memcpy(p + 52, record.network, 4);
        std::memcpy(p + 56, record.node, 6);
        put_big_endian16(p + 62, record.socket);
        put_big_endian16(p + 64, record.hops);
    }
    queue.commit(total);
    return true;
}

bool front_sap_envelope(const ByteQueue& queue, SapEnvelope& envelope)
{
    if (queue.size() < SAP_ENVELOPE_LENGTH)
        return false;
    const uint8_t* e = queue.head();
    uint16_t total16;
    std::memcpy(&total16, e + 2, 2);
    envelope.total = total16;
    if (envelope.total < SAP_ENVELOPE_LENGTH || envelope.total > queue.size())
        return false;
    std::memcpy(envelope.network, e + 6, 4);
    std::memcpy(envelope.node, e + 10, 6);
    envelope.socket = static_cast<uint16_t>(e[16] << 8 | e[17]);
    return true;
}
