#include "sap/sap_envelope.h"

#include <cstring>

#include "ipx/ipx_packet.h"
#include "util/big_endian.h"

bool queue_sap_record(ByteQueue& queue, const SapRecord& record)
{
    int32_t payload;
    if (record.operation == sap::GSQ || record.operation == sap::NSQ)
        payload = 4;
    else if (record.operation == sap::GSR || record.operation == sap::NSR)
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
    // The envelope keeps its total in host order: it never leaves the queue.
    std::memcpy(e + IPX_LENGTH_OFFSET, &total16, 2);
    record.peer.write(e + IPX_DESTINATION_OFFSET);

    uint8_t* p = e + SAP_ENVELOPE_LENGTH;
    put_be16(p, record.operation);
    put_be16(p + 2, record.service_type);
    if (payload > 4) {
        std::memset(p + 4, 0, SAP_NAME_LENGTH);
        std::memcpy(p + 4, record.name, strnlen(record.name, SAP_NAME_LENGTH));
        record.server.write(p + 52);
        put_be16(p + 64, record.hops);
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
    std::memcpy(&total16, e + IPX_LENGTH_OFFSET, 2);
    envelope.total = total16;
    if (envelope.total < SAP_ENVELOPE_LENGTH || envelope.total > queue.size())
        return false;
    envelope.destination = IpxAddress::read(e + IPX_DESTINATION_OFFSET);
    return true;
}
