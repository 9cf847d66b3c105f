#include <gtest/gtest.h>

#include "link/knet_packet.h"
#include "tests/support/knet_packets.h"

namespace knet_bytes = support::knet_bytes;
using knet_bytes::Bytes;

TEST(KnetPacket, WorkedExamplesEncodeByteForByte)
{
    EXPECT_EQ(knet_bytes::control(3, 1, 0xE0, 0), (Bytes{0x00, 0x02, 0x00, 0x01, 0x04, 0x03, 0x00, 0x00, 0xE0, 0x00}));
    EXPECT_EQ(knet_bytes::ack(3, 12, 7),
              (Bytes{0x00, 0x04, 0x00, 0x0C, 0x02, 0x03, 0x00, 0x00, 0x00, 0x07, 0xE0, 0x00}));
    EXPECT_EQ(knet_bytes::data(3, 1, "hi"), (Bytes{0x00, 0x02, 0x00, 0x01, 0x05, 0x03, 0x00, 0x00, 0x68, 0x69}));

    Bytes request(32);
    ASSERT_EQ(knet_connection_request_size("KELB"), 13);
    ASSERT_EQ(knet_write_connection_request(request.data(), 1, "KELB"), 13);
    request.resize(13);
    EXPECT_EQ(request, (Bytes{0x00, 0x05, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 'K', 'E', 'L', 'B', 0x00}));
}

TEST(KnetPacket, AcceptCarriesSeqRespAtOddOffsetAndHeaderFieldsAreBigEndian)
{
    const Bytes a = knet_bytes::accept(0x1234, 5, 0xABCD);
    EXPECT_EQ(a, (Bytes{0x00, 0x03, 0x12, 0x34, 0x01, 0x00, 0x00, 0x00, 0x05, 0xAB, 0xCD}));

    const uint8_t raw[8] = {0x02, 0x01, 0xFF, 0xFE, 0x09, 0x07, 0x55, 0xAA};
    const KnetHeader h = knet_read_header(raw);
    EXPECT_EQ(h.length, 0x0201);
    EXPECT_EQ(h.sequence, 0xFFFE);
    EXPECT_EQ(h.type, 9);
    EXPECT_EQ(h.circuit, 7);
    EXPECT_EQ(h.reserved, 0x55AA);
}

TEST(KnetPacket, ReaderWalksPacketsEndToEndAndStopsAtOneThatDoesNotFit)
{
    Bytes two = knet_bytes::join({knet_bytes::ack(3, 1, 1), knet_bytes::data(3, 2, "xyz")});
    KnetPacketReader reader(two.data(), static_cast<int>(two.size()));
    KnetPacket p;
    ASSERT_TRUE(reader.next(p));
    EXPECT_EQ(p.header.type, knet::Ack);
    ASSERT_TRUE(reader.next(p));
    EXPECT_EQ(p.header.type, knet::Data);
    EXPECT_EQ(std::string(p.payload, p.payload + p.header.length), "xyz");
    EXPECT_FALSE(reader.next(p));
    EXPECT_EQ(reader.left(), 0);

    // A length that reaches one byte past the end, and a short header.
    Bytes cut = knet_bytes::join({knet_bytes::ack(3, 1, 1), knet_bytes::data(3, 2, "xyz")});
    cut.pop_back();
    KnetPacketReader truncated(cut.data(), static_cast<int>(cut.size()));
    ASSERT_TRUE(truncated.next(p));
    EXPECT_FALSE(truncated.next(p));
    EXPECT_EQ(truncated.left(), 10);

    Bytes stub = knet_bytes::ack(3, 1, 1);
    stub.resize(stub.size() + 5, 0);
    KnetPacketReader tail(stub.data(), static_cast<int>(stub.size()));
    ASSERT_TRUE(tail.next(p));
    EXPECT_FALSE(tail.next(p));
    EXPECT_EQ(tail.left(), 5);
}

TEST(KnetPacket, LengthChecksByType)
{
    KnetHeader h;
    const struct {
        uint8_t type;
        uint16_t length;
        bool valid;
    } cases[] = {
        {knet::ConnectionRequest, 0, true}, {knet::ConnectionRequest, 300, true}, {knet::ConnectionAccept, 3, true},
        {knet::ConnectionAccept, 2, false}, {knet::Ack, 4, true},                 {knet::Ack, 6, false},
        {knet::Nack, 4, true},              {knet::Nack, 0, false},               {knet::CircuitControl, 2, true},
        {knet::CircuitControl, 3, false},   {knet::Data, 0, true},                {knet::Data, 600, true},
        {6, 0, false},                {9, 4, false},                  {255, 2, false},
    };
    for (const auto& c : cases) {
        h.type = c.type;
        h.length = c.length;
        EXPECT_EQ(knet_length_valid(h), c.valid) << "type " << int(c.type) << " length " << c.length;
    }
}
