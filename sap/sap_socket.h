// SapSocket: the IPX endpoint on the SAP socket, turning received datagrams
// into records and records into queued datagrams. Used by one thread.
#pragma once

#include <cstdint>

#include "app/locks.h"
#include "link/byte_queue.h"
#include "sap/sap_record.h"
#include "sap/sap_record_reader.h"

class IpxEndpoint;
class IpxStack;

class SapSocket {
public:
    // Uses the process-wide IPX stack unless another is given.
    explicit SapSocket(IpxStack* stack = nullptr);
    ~SapSocket();
    SapSocket(const SapSocket&) = delete;
    SapSocket& operator=(const SapSocket&) = delete;

    // Binds SAP_SOCKET with headers delivered and broadcasts allowed
    // (received too on an NT-family host). 0, or -1.
    int open();
    // One non-blocking exchange: at most one datagram in and one out.
    void pump();
    bool next_record(SapRecord& record) { return reader_.next_record(record); }
    // False for an operation other than 1..4.
    bool queue_record(const SapRecord& record);
    // Bytes waiting to be sent; safe from another thread.
    int32_t pending_output();
    int close();

    // The parser's view of received data, for feeding crafted datagrams.
    SapRecordReader& reader() { return reader_; }

private:
    IpxStack* stack_;
    IpxEndpoint* endpoint_ = nullptr;
    ByteQueue receive_queue_;
    // Shutdown watches the send queue from the main thread.
    Mutex send_mutex_;
    ByteQueue send_queue_;
    SapRecordReader reader_;
    IpxAddress default_destination_;
};
