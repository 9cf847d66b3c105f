#include "link/packet_queue.h"

#include <algorithm>

#include "link/knet_packet.h"

namespace {

// Emptied buffers kept: one is built in while another is sent.
constexpr size_t SPARES_KEPT = 2;

}

std::vector<uint8_t> PacketQueue::spare()
{
    if (spares_.empty())
        return {};
    std::vector<uint8_t> buffer = std::move(spares_.back());
    spares_.pop_back();
    return buffer;
}

void PacketQueue::keep_spare(std::vector<uint8_t>&& buffer)
{
    if (spares_.size() >= SPARES_KEPT)
        return;
    buffer.clear();
    spares_.push_back(std::move(buffer));
}

void PacketQueue::consume(int32_t n)
{
    sent_ += size_t(n);
    size_ -= n;
    if (sent_ >= batches_.front().size()) {
        keep_spare(std::move(batches_.front()));
        batches_.pop_front();
        sent_ = 0;
    }
}

void PacketQueue::clear()
{
    for (std::vector<uint8_t>& batch : batches_)
        keep_spare(std::move(batch));
    batches_.clear();
    sent_ = 0;
    size_ = 0;
}

int32_t PacketQueue::copy_out(uint8_t* out, int32_t size) const
{
    int32_t copied = 0;
    size_t from = sent_;
    for (const std::vector<uint8_t>& batch : batches_) {
        const size_t n = std::min(batch.size() - from, size_t(size - copied));
        std::copy_n(batch.data() + from, n, out + copied);
        copied += int32_t(n);
        from = 0;
    }
    return copied;
}

void PacketQueue::take(std::vector<uint8_t>& built, int32_t bound)
{
    if (built.empty())
        return;
    if (size_t(size_) + built.size() <= size_t(bound)) {
        size_ += int32_t(built.size());
        batches_.push_back(std::move(built));
        built = spare();
        return;
    }
    // Past the bound: the packets that fit are copied into a batch.
    std::vector<uint8_t> fitting = spare();
    KnetPacketReader reader(built.data(), static_cast<int>(built.size()));
    KnetPacket packet;
    while (reader.next(packet)) {
        const int length = KNET_HEADER_SIZE + packet.header.length;
        if (size_ + int32_t(fitting.size()) + length <= bound) {
            const uint8_t* start = packet.payload - KNET_HEADER_SIZE;
            fitting.insert(fitting.end(), start, start + length);
        }
    }
    built.clear();
    if (fitting.empty()) {
        keep_spare(std::move(fitting));
        return;
    }
    size_ += int32_t(fitting.size());
    batches_.push_back(std::move(fitting));
}
