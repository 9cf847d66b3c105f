// The SAP record reader on a sequence of received datagrams, with reads in
// between. Each datagram is framed by the size it was received with, so
// whatever one holds (a lying length, an unknown operation, a cut entry)
// may cost that datagram only: the records read from the whole sequence
// must be those each datagram gives when read alone.
//
// Record control byte: bit 0 commits the datagram in place, as the SAP
// socket does, instead of through accept; bits 1-3 read that many records
// afterwards.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_records.h"
#include "util/byte_queue.h"
#include "sap/sap_record_reader.h"

namespace {
bool same_record(const SapRecord& a, const SapRecord& b)
{
    return a.operation == b.operation && a.service_type == b.service_type &&
           std::strcmp(a.name, b.name) == 0 && a.server == b.server && a.hops == b.hops &&
           a.peer == b.peer;
}

bool read_one(SapRecordReader& reader, std::vector<SapRecord>& into)
{
    SapRecord record;
    if (!reader.next_record(record))
        return false;
    FUZZ_CHECK(record.operation >= sap::GSQ && record.operation <= sap::NSR);
    FUZZ_CHECK(std::memchr(record.name, '\0', sizeof record.name) != nullptr);
    into.push_back(record);
    return true;
}

// Reads until nothing is held. Each call gives a record or drops a
// datagram, so this many calls always suffice.
void read_all(SapRecordReader& reader, std::vector<SapRecord>& into, size_t bytes)
{
    size_t limit = bytes / 2 + size_t(reader.datagrams_held()) + 2;
    for (size_t i = 0; i < limit; ++i)
        if (!read_one(reader, into) && reader.datagrams_held() == 0)
            return;
    FUZZ_CHECK(!"the reader stopped making progress");
}

void commit_in_place(ByteQueue& queue, SapRecordReader& reader, const uint8_t* bytes, int32_t count)
{
    queue.reserve(count);
    if (queue.space() < count)
        return;
    if (count > 0)
        std::memcpy(queue.tail(), bytes, size_t(count));
    queue.commit(count);
    reader.datagram_committed(count);
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ByteQueue queue(88, 44, 4096);
    SapRecordReader reader(queue);
    std::vector<SapRecord> got;
    std::vector<SapRecord> expected;
    size_t bytes = 0;
    FuzzRecords records(data, size);
    FuzzRecord r;
    while (records.next(r)) {
        const int32_t count = int32_t(r.size);
        if (r.control & 1)
            commit_in_place(queue, reader, r.bytes, count);
        else
            FUZZ_CHECK(reader.accept(r.bytes, count));
        bytes += r.size;
        for (int i = (r.control >> 1) & 7; i > 0; --i)
            read_one(reader, got);

        ByteQueue alone_queue(88, 44, 4096);
        SapRecordReader alone(alone_queue);
        FUZZ_CHECK(alone.accept(r.bytes, count));
        read_all(alone, expected, r.size);
        FUZZ_CHECK(alone_queue.size() == 0);
    }
    read_all(reader, got, bytes);
    FUZZ_CHECK(queue.size() == 0);
    FUZZ_CHECK(got.size() == expected.size());
    for (size_t i = 0; i < got.size(); ++i)
        FUZZ_CHECK(same_record(got[i], expected[i]));
    return 0;
}
