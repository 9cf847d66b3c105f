#include "util/byte_queue.h"

#include <cstring>
#include <deque>
#include <gtest/gtest.h>
#include <random>
#include <string>

namespace {

TEST(ByteQueue, InitialCapacityRoundsUpToWholeBlocks)
{
    EXPECT_EQ(ByteQueue(512, 32, 4096).capacity(), 4096);
    EXPECT_EQ(ByteQueue(88, 44, 4096).capacity(), 4096);
    EXPECT_EQ(ByteQueue(4096, 512, 4096).capacity(), 4096);
    EXPECT_EQ(ByteQueue(1024, 128, 256).capacity(), 1024);
    EXPECT_EQ(ByteQueue(1025, 128, 256).capacity(), 1280);
}

TEST(ByteQueue, GrowthArithmetic)
{
    ByteQueue q(4096, 0, 4096);
    std::memset(q.tail(), 'x', 4090);
    q.commit(4090);
    q.reserve(10); // shortfall 4: one block asked, n + 1 added
    EXPECT_EQ(q.capacity(), 12288);
    EXPECT_EQ(q.size(), 4090);
    EXPECT_EQ(q.head()[4089], 'x');

    ByteQueue r(4096, 512, 4096);
    r.commit(3600); // 496 free is below the low-water mark
    EXPECT_EQ(r.capacity(), 12288);

    ByteQueue s(4096, 512, 4096);
    s.reserve(100); // enough room already
    EXPECT_EQ(s.capacity(), 4096);
    s.reserve(20000); // shortfall 15904: 4 blocks asked, 5 added
    EXPECT_EQ(s.capacity(), 4096 + 5 * 4096);
    EXPECT_GE(s.space(), 20000 + 4096);
}

TEST(ByteQueue, ConsumeDiscardAndClear)
{
    ByteQueue q(64, 0, 64);
    q.append("abcdef", 6);
    q.consume(2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(q.head()), size_t(q.size())), "cdef");
    q.discard_before(q.head() + 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(q.head()), size_t(q.size())), "def");
    q.discard_before(q.tail());
    EXPECT_EQ(q.size(), 0);
    q.append("xyz", 3);
    q.consume(3);
    EXPECT_EQ(q.size(), 0);
    q.append("xyz", 3);
    q.consume(100);
    EXPECT_EQ(q.size(), 0);
    q.append("xyz", 3);
    int cap = q.capacity();
    q.clear();
    EXPECT_EQ(q.space(), cap);
}

TEST(ByteQueue, InterleavedAppendAndConsumeKeepOrderAndBoundedStorage)
{
    // A producer keeping about 64 KiB queued while a consumer takes small
    // pieces from the front: every byte comes out in order, and the storage
    // stays within twice what is held plus the growth steps.
    ByteQueue q(1024, 128, 256);
    std::deque<uint8_t> model;
    std::mt19937 random(5);
    uint8_t next = 0;
    int32_t most_held = 0;
    for (int round = 0; round < 20000; ++round) {
        if (model.size() < 64 * 1024) {
            uint8_t chunk[700];
            int32_t n = 1 + static_cast<int32_t>(random() % sizeof chunk);
            for (int32_t i = 0; i < n; ++i)
                model.push_back(chunk[i] = next++);
            ASSERT_TRUE(q.append(chunk, n));
        }
        int32_t take = std::min<int32_t>(q.size(), 1 + static_cast<int32_t>(random() % 512));
        for (int32_t i = 0; i < take; ++i) {
            ASSERT_EQ(q.head()[i], model.front()) << "round " << round;
            model.pop_front();
        }
        q.consume(take);
        ASSERT_EQ(q.size(), static_cast<int32_t>(model.size()));
        most_held = std::max(most_held, q.size());
    }
    EXPECT_LE(q.capacity(), 2 * most_held + 8 * 256);
}

TEST(ByteQueue, FormattedAppendIsWholeOrNothing)
{
    ByteQueue q(4096, 32, 4096);
    std::string big(5000, 'z');
    int n = q.append_format("%s!", big.c_str());
    EXPECT_EQ(n, 5001);
    EXPECT_EQ(q.size(), 5001);
    EXPECT_EQ(q.head()[5000], '!');
    EXPECT_GE(q.space(), 32);
    EXPECT_EQ(q.append_format("Connected to KELB line %d\r\n", 5), 26);
    EXPECT_EQ(q.size(), 5027);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(q.head()) + 5001, 26), "Connected to KELB line 5\r\n");
}

}
