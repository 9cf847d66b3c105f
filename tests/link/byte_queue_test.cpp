#include "link/byte_queue.h"

#include <cstring>
#include <gtest/gtest.h>
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
