// The send queue's format: each SAP datagram waits as a 30-byte envelope
// (its total size and destination) followed by the payload that goes out.
#pragma once

#include <cstdint>

#include "util/byte_queue.h"
#include "sap/sap_record.h"

constexpr int SAP_ENVELOPE_LENGTH = 30;

struct SapEnvelope {
    int32_t total = 0; // envelope + payload
    // Its socket is carried for completeness; sends always go to SAP_SOCKET.
    IpxAddress destination;
};

// Queues record for its peer: 4 payload bytes for a query, 66 for a
// response. False, nothing queued, for another operation or no room.
bool queue_sap_record(ByteQueue& queue, const SapRecord& record);

// The envelope at the front of queue; false when the queue holds none or
// its total does not fit what is held (the queue is then unusable).
bool front_sap_envelope(const ByteQueue& queue, SapEnvelope& envelope);
