// PacketQueue: KNET packets waiting to leave, each one datagram; bounded,
// and filled without a copy in the usual case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

class PacketQueue {
public:
    // Bytes not yet sent.
    int32_t size() const { return size_; }
    // The next packet to send, whole (null when none waits).
    const uint8_t* head() const { return batches_.empty() ? nullptr : batches_.front().data() + sent_; }
    // Removes n bytes sent from head(): whole packets of one batch.
    void consume(int32_t n);
    void clear();
    // Copies out, in order, up to size bytes not yet sent; the count.
    int32_t copy_out(uint8_t* out, int32_t size) const;
    // Takes the packets built, leaving built empty (to be built in again):
    // those that fit within bound, in order; one that does not is lost, as
    // on the wire. A batch that fits whole is taken over as it is, without
    // copying a byte, however many wait before it: a Data packet built
    // while an Ack waits is sent from the bytes it was built in.
    void take(std::vector<uint8_t>& built, int32_t bound);

private:
    std::vector<uint8_t> spare();
    void keep_spare(std::vector<uint8_t>&& buffer);

    // The batches taken, each as it was built; the first is sent from sent_.
    std::deque<std::vector<uint8_t>> batches_;
    // Emptied buffers, a few, to be built in again.
    std::vector<std::vector<uint8_t>> spares_;
    size_t sent_ = 0;
    int32_t size_ = 0;
};
