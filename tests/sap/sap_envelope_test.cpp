#include "sap/sap_envelope.h"

#include <gtest/gtest.h>
#include <cstring>
#include <vector>

namespace {

SapRecord broadcast(uint16_t operation)
{
    SapRecord r{};
    r.operation = operation;
    r.service_type = 0x9191;
    std::memset(r.peer.node, 0xFF, 6);
    r.peer.socket = SAP_SOCKET;
    return r;
}

TEST(SapEnvelope, NearestQueryIsFourBytesBehindItsEnvelope)
{
    ByteQueue queue(88, 44, 4096);
    ASSERT_TRUE(queue_sap_record(queue, broadcast(sap::NSQ)));
    ASSERT_EQ(queue.size(), 34);
    SapEnvelope e;
    ASSERT_TRUE(front_sap_envelope(queue, e));
    EXPECT_EQ(e.total, 34);
    const uint8_t zero[4] = {};
    const uint8_t all[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(std::memcmp(e.destination.network, zero, 4), 0);
    EXPECT_EQ(std::memcmp(e.destination.node, all, 6), 0);
    EXPECT_EQ(e.destination.socket, SAP_SOCKET);
    const uint8_t payload[4] = {0x00, 0x03, 0x91, 0x91};
    EXPECT_EQ(std::memcmp(queue.head() + SAP_ENVELOPE_LENGTH, payload, 4), 0);
}

TEST(SapEnvelope, ResponseCarriesOneEntryBigEndian)
{
    ByteQueue queue(88, 44, 4096);
    SapRecord r = broadcast(sap::GSR);
    std::strcpy(r.name, "KELB");
    const uint8_t network[4] = {1, 2, 3, 4};
    const uint8_t node[6] = {5, 6, 7, 8, 9, 10};
    std::memcpy(r.server.network, network, 4);
    std::memcpy(r.server.node, node, 6);
    r.server.socket = 0x4001;
    r.hops = SAP_HOPS_DOWN;
    ASSERT_TRUE(queue_sap_record(queue, r));
    ASSERT_EQ(queue.size(), 96);
    const uint8_t* p = queue.head() + SAP_ENVELOPE_LENGTH;
    std::vector<uint8_t> expected = {0x00, 0x02, 0x91, 0x91, 'K', 'E', 'L', 'B'};
    EXPECT_EQ(std::vector<uint8_t>(p, p + 8), expected);
    for (int i = 8; i < 52; ++i)
        EXPECT_EQ(p[i], 0) << i;
    EXPECT_EQ(std::memcmp(p + 52, network, 4), 0);
    EXPECT_EQ(std::memcmp(p + 56, node, 6), 0);
    EXPECT_EQ(std::vector<uint8_t>(p + 62, p + 66), (std::vector<uint8_t>{0x40, 0x01, 0x00, 0x10}));
}

TEST(SapEnvelope, OtherOperationsAreRefused)
{
    ByteQueue queue(88, 44, 4096);
    EXPECT_FALSE(queue_sap_record(queue, broadcast(0)));
    EXPECT_FALSE(queue_sap_record(queue, broadcast(5)));
    EXPECT_EQ(queue.size(), 0);
    SapEnvelope e;
    EXPECT_FALSE(front_sap_envelope(queue, e));
}

}
