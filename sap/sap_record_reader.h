// SapRecordReader: turns the received SAP datagrams held in a queue into
// records, several entries per datagram, dropping what cannot be used.
#pragma once

#include <cstdint>
#include <deque>

#include "util/byte_queue.h"
#include "sap/sap_record.h"

// The queue holds whole datagrams back to back, each as received (30-byte
// header first). The owner tells the reader the size of every datagram it
// commits, so a lying length field can cost that datagram only, never the
// reader's place in the ones behind it.
class SapRecordReader {
public:
    explicit SapRecordReader(ByteQueue& queue) : queue_(queue) {}

    // Appends a datagram to the queue and notes its size; false (nothing
    // added) when the queue cannot make room.
    bool accept(const uint8_t* bytes, int32_t count);
    // Notes that count bytes of one datagram were committed to the queue.
    void datagram_committed(int32_t count);

    // True when a record was produced; false when nothing is held or the
    // datagram at the front was unusable (it is dropped whole).
    bool next_record(SapRecord& record);

    // Datagrams held, including the one being read.
    int datagrams_held() const;
    void clear();

private:
    bool start_datagram();
    void end_datagram();
    void take(int32_t count);

    ByteQueue& queue_;
    std::deque<int32_t> sizes_;
    // Bytes of the current datagram still in the queue (0 = the queue starts
    // at a datagram header), and of those, payload not yet read.
    int32_t datagram_left_ = 0;
    int32_t payload_left_ = 0;
    uint16_t operation_ = 0;
    IpxAddress source_{};
};
