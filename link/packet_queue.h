// PacketQueue: KNET packets waiting to leave, laid end to end, each one
// datagram; bounded, and filled without a copy in the usual case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class PacketQueue {
public:
    // Bytes not yet sent, from head().
    int32_t size() const { return int32_t(bytes_.size() - sent_); }
    const uint8_t* head() const { return bytes_.data() + sent_; }
    void consume(int32_t n);
    void clear();
    // Takes the packets built, leaving built empty: those that fit within
    // bound, in order; one that does not is lost, as on the wire. An empty
    // queue takes them over whole, without copying a byte.
    void take(std::vector<uint8_t>& built, int32_t bound);

private:
    std::vector<uint8_t> bytes_;
    size_t sent_ = 0;
};
