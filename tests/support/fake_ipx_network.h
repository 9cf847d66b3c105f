// An in-memory IPX network for unit tests and benchmarks: endpoints of one process deliver
// to each other by socket number, and tests inject and inspect datagrams.
#pragma once

#include <cstdint>
#include <vector>

namespace support::fake_ipx {

using Datagram = std::vector<uint8_t>;

// Forgets every bound socket and queued datagram; the network is writable.
void reset();
// While false, every endpoint polls as not writable.
void set_writable(bool writable);
// Queues a datagram for the endpoint bound to socket, as if from sender.
void inject(uint16_t socket, const Datagram& bytes, uint16_t sender_socket = 0x9999);
// Takes every datagram sent to socket that no endpoint has bound (or all
// queued for it), oldest first.
std::vector<Datagram> take(uint16_t socket);
// Datagrams sent so far to socket, whether received or not.
int sent_count(uint16_t socket);
// The next n sends report that they would block.
void refuse_sends(int n);
// Makes the next poll of every endpoint fail.
void fail_next_poll();

}
