// SapSocket: the IPX endpoint on the SAP socket, turning received datagrams
// into records and records into queued datagrams. Used by one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "port/locks.h"
#include "util/byte_queue.h"
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
    // One non-blocking exchange: at most one datagram in and one out; true
    // when one moved.
    bool pump();
    // Waits up to timeout_ms for a datagram, or until wake is called.
    void wait(int timeout_ms);
    void wake();
    bool next_record(SapRecord& record) { return reader_.next_record(record); }
    // False for an operation other than 1..4.
    bool queue_record(const SapRecord& record);
    // Bytes waiting to be sent; safe from another thread.
    int32_t pending_output();
    int close();
    // Whether the last pump found the network able to take a datagram:
    // until the stack has joined, queued output cannot leave at all.
    bool output_possible() const { return output_possible_.load(); }

    // The parser's view of received data: what is held, and a way in for
    // crafted datagrams.
    SapRecordReader& reader() { return reader_; }

    // Test hooks.
    // The network takes datagrams but none ever leaves.
    void block_output_for_testing() { output_blocked_ = true; output_possible_ = true; }

private:
    IpxStack* stack_;
    std::unique_ptr<IpxEndpoint> endpoint_;
    ByteQueue receive_queue_;
    // Shutdown watches the send queue from the main thread.
    Mutex send_mutex_;
    ByteQueue send_queue_;
    SapRecordReader reader_;
    IpxAddress default_destination_;
    std::atomic<bool> output_possible_{false};
    bool output_blocked_ = false;
};
