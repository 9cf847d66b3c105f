#include "link/packet_queue.h"

#include "link/knet_packet.h"

void PacketQueue::consume(int32_t n)
{
    sent_ += size_t(n);
    if (sent_ >= bytes_.size())
        clear();
}

void PacketQueue::clear()
{
    bytes_.clear();
    sent_ = 0;
}

void PacketQueue::take(std::vector<uint8_t>& built, int32_t bound)
{
    if (built.empty())
        return;
    if (size() == 0 && built.size() <= size_t(bound)) {
        // The old buffer goes back to be built in again.
        clear();
        bytes_.swap(built);
        built.clear();
        return;
    }
    KnetPacketReader reader(built.data(), static_cast<int>(built.size()));
    KnetPacket packet;
    while (reader.next(packet)) {
        const int length = KNET_HEADER_SIZE + packet.header.length;
        if (size() + length <= bound) {
            const uint8_t* start = packet.payload - KNET_HEADER_SIZE;
            bytes_.insert(bytes_.end(), start, start + length);
        }
    }
    built.clear();
}
