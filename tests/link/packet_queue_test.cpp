#include <gtest/gtest.h>

#include <string>

#include "link/packet_queue.h"
#include "tests/support/knet_packets.h"

namespace knet_bytes = support::knet_bytes;
using knet_bytes::Bytes;

// A Data packet built while an Ack still waits is sent from the bytes it
// was built in; what comes while two batches wait is copied in behind them.
// Everything leaves in order, and a packet past the bound is lost, as on the
// wire.
TEST(PacketQueue, BatchesLeaveInOrderTheSecondWithoutACopyAndTheBoundHolds)
{
    const Bytes ack = knet_bytes::ack(1, 1, 1);
    const Bytes data = knet_bytes::data(1, 1, std::string(40, 'd'));
    const Bytes control = knet_bytes::control(1, 2, 0xE0, 0);
    PacketQueue queue;
    Bytes built = ack;
    queue.take(built, 100);
    EXPECT_TRUE(built.empty());
    built = data;
    const uint8_t* built_at = built.data();
    queue.take(built, 100);
    built = knet_bytes::join({control, knet_bytes::data(1, 2, std::string(60, 'x'))});
    queue.take(built, 100);
    ASSERT_EQ(queue.size(), int32_t(ack.size() + data.size() + control.size()));

    Bytes all(200);
    all.resize(queue.copy_out(all.data(), int32_t(all.size())));
    EXPECT_EQ(all, knet_bytes::join({ack, data, control}));
    Bytes part(20);
    ASSERT_EQ(queue.copy_out(part.data(), 20), 20);
    EXPECT_TRUE(std::equal(part.begin(), part.end(), all.begin()));

    std::vector<Bytes> sent;
    while (queue.size() > 0) {
        const int n = KNET_HEADER_SIZE + get_be16(queue.head());
        if (sent.size() == 1) {
            EXPECT_EQ(queue.head(), built_at) << "the Data packet was copied";
        }
        sent.emplace_back(queue.head(), queue.head() + n);
        queue.consume(n);
    }
    EXPECT_EQ(sent, (std::vector<Bytes>{ack, data, control}));
}
