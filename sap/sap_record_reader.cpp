#include "sap/sap_record_reader.h"

#include <cstring>

#include "ipx/ipx_packet.h"
#include "util/big_endian.h"

namespace {

// Some stacks store the length in host order, others as on the wire; no
// SAP datagram reaches 1024 bytes, so a larger reading is the swapped form.
int32_t header_length(const uint8_t* header)
{
    const uint8_t* field = header + IPX_LENGTH_OFFSET;
    uint16_t as_stored = static_cast<uint16_t>(field[0] | field[1] << 8);
    if (as_stored < 1024)
        return as_stored;
    return get_be16(field);
}
}

bool SapRecordReader::accept(const uint8_t* bytes, int32_t count)
{
    if (count <= 0)
        return true;
    if (!queue_.append(bytes, count))
        return false;
    sizes_.push_back(count);
    return true;
}

void SapRecordReader::datagram_committed(int32_t count)
{
    if (count > 0)
        sizes_.push_back(count);
}

int SapRecordReader::datagrams_held() const
{
    return static_cast<int>(sizes_.size()) + (datagram_left_ > 0 ? 1 : 0);
}

void SapRecordReader::clear()
{
    queue_.clear();
    sizes_.clear();
    datagram_left_ = 0;
    payload_left_ = 0;
}

void SapRecordReader::take(int32_t count)
{
    queue_.consume(count);
    datagram_left_ -= count;
}

void SapRecordReader::end_datagram()
{
    take(datagram_left_ < queue_.size() ? datagram_left_ : queue_.size());
    datagram_left_ = 0;
    payload_left_ = 0;
}

bool SapRecordReader::start_datagram()
{
    if (sizes_.empty()) {
        // Bytes nobody accounted for cannot be framed; never parse them.
        queue_.clear();
        return false;
    }
    int32_t received = sizes_.front();
    sizes_.pop_front();
    if (received > queue_.size())
        received = queue_.size();
    datagram_left_ = received;
    if (received < SAP_HEADER_LENGTH) {
        end_datagram();
        return false;
    }

    const uint8_t* header = queue_.head();
    int32_t length = header_length(header);
    if (length < SAP_HEADER_LENGTH || length > received) {
        end_datagram();
        return false;
    }
    payload_left_ = length - SAP_HEADER_LENGTH;
    source_ = IpxAddress::read(header + IPX_SOURCE_OFFSET);
    take(SAP_HEADER_LENGTH);

    if (payload_left_ < 2) {
        end_datagram();
        return false;
    }
    operation_ = get_be16(queue_.head());
    take(2);
    payload_left_ -= 2;

    int32_t needed;
    if (operation_ == sap::GSQ || operation_ == sap::NSQ)
        needed = 2;
    else if (operation_ == sap::GSR || operation_ == sap::NSR)
        needed = SAP_ENTRY_LENGTH;
    else
        needed = -1;
    if (needed < 0 || payload_left_ < needed) {
        end_datagram();
        return false;
    }
    return true;
}

bool SapRecordReader::next_record(SapRecord& record)
{
    if (datagram_left_ == 0 && !start_datagram())
        return false;

    record = SapRecord();
    record.operation = operation_;
    record.peer = source_;
    const uint8_t* p = queue_.head();

    if (operation_ == sap::GSQ || operation_ == sap::NSQ) {
        record.service_type = get_be16(p);
        // A query carries one service type; anything behind it is ignored.
        end_datagram();
        return true;
    }

    if (payload_left_ < SAP_ENTRY_LENGTH) {
        end_datagram();
        return false;
    }
    record.service_type = get_be16(p);
    std::memcpy(record.name, p + 2, SAP_NAME_LENGTH);
    record.name[SAP_NAME_LENGTH] = '\0';
    record.server = IpxAddress::read(p + 50);
    record.hops = get_be16(p + 62);
    take(SAP_ENTRY_LENGTH);
    payload_left_ -= SAP_ENTRY_LENGTH;
    // A leftover shorter than an entry cannot be read: end the datagram now
    // so the next call starts cleanly at the following header.
    if (payload_left_ < SAP_ENTRY_LENGTH)
        end_datagram();
    return true;
}
