#include "sap/sap_record_reader.h"

#include <gtest/gtest.h>
#include <cstring>
#include <random>

#include "sap_datagrams.h"

using namespace sap_test;

namespace {

class ReaderTest : public ::testing::Test {
protected:
    ByteQueue queue{88, 44, 4096};
    SapRecordReader reader{queue};

    void feed(const std::vector<uint8_t>& d) { ASSERT_TRUE(reader.accept(d.data(), static_cast<int32_t>(d.size()))); }

    void expect_board_record(const SapRecord& r, uint16_t operation, const std::string& name)
    {
        EXPECT_EQ(r.operation, operation);
        EXPECT_EQ(r.service_type, 0x9191);
        EXPECT_STREQ(r.name, name.c_str());
        const uint8_t network[4] = {0, 0, 0, 0x2A};
        const uint8_t node[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
        EXPECT_EQ(std::memcmp(r.server.network, network, 4), 0);
        EXPECT_EQ(std::memcmp(r.server.node, node, 6), 0);
        EXPECT_EQ(r.server.socket, 0x4001);
        EXPECT_EQ(std::memcmp(r.peer.network, PEER_NETWORK, 4), 0);
        EXPECT_EQ(std::memcmp(r.peer.node, PEER_NODE, 6), 0);
        EXPECT_EQ(r.peer.socket, PEER_SOCKET);
    }
};

TEST_F(ReaderTest, NearestResponseOfNinetySixBytesYieldsOneRecord)
{
    auto d = datagram(payload_of(sap::NSR, {board_entry("KELB", 3)}));
    ASSERT_EQ(d.size(), 96u);
    feed(d);
    SapRecord r;
    ASSERT_TRUE(reader.next_record(r));
    expect_board_record(r, sap::NSR, "KELB");
    EXPECT_EQ(r.hops, 3);
    EXPECT_FALSE(reader.next_record(r));
    EXPECT_EQ(queue.size(), 0);
}

TEST_F(ReaderTest, GeneralResponseWithThreeEntriesGivesThreeRecordsWithOnePeer)
{
    feed(datagram(payload_of(sap::GSR, {board_entry("ONE"), board_entry("TWO"), board_entry("THREE")})));
    feed(datagram(payload_of(sap::NSR, {board_entry("AFTER")})));
    const char* names[] = {"ONE", "TWO", "THREE"};
    for (const char* name : names) {
        SapRecord r;
        ASSERT_TRUE(reader.next_record(r)) << name;
        expect_board_record(r, sap::GSR, name);
    }
    SapRecord r;
    ASSERT_TRUE(reader.next_record(r));
    expect_board_record(r, sap::NSR, "AFTER");
    EXPECT_FALSE(reader.next_record(r));
}

TEST_F(ReaderTest, UnknownOperationIsSkippedAndTheNextDatagramRead)
{
    // A query carries a service type in place of entries.
    std::vector<uint8_t> query = {0x00, 0x03, 0x91, 0x91};
    feed(datagram(payload_of(7, {board_entry("SEVEN")})));
    feed(datagram(query));
    SapRecord r;
    EXPECT_FALSE(reader.next_record(r));
    ASSERT_TRUE(reader.next_record(r));
    EXPECT_EQ(r.operation, sap::NSQ);
    EXPECT_EQ(r.service_type, 0x9191);
    EXPECT_EQ(r.peer.socket, PEER_SOCKET);
    EXPECT_FALSE(reader.next_record(r));
}

TEST_F(ReaderTest, LengthTakenAsStoredOrSwapped)
{
    auto payload = payload_of(sap::NSR, {board_entry()});
    auto host_order = datagram(payload);
    host_order[2] = 0x60; // reads 0x0060 little-endian
    host_order[3] = 0x00;
    auto wire_order = datagram(payload); // 00 60: reads 0x6000, swapped to 96
    feed(host_order);
    feed(wire_order);
    SapRecord r;
    ASSERT_TRUE(reader.next_record(r));
    expect_board_record(r, sap::NSR, "KELB");
    ASSERT_TRUE(reader.next_record(r));
    expect_board_record(r, sap::NSR, "KELB");
    EXPECT_EQ(queue.size(), 0);
}

TEST_F(ReaderTest, FortyEightCharacterNameReadWholeAndTerminated)
{
    std::string name(48, 'N');
    name[0] = 'A';
    name[47] = 'Z';
    feed(datagram(payload_of(sap::NSR, {board_entry(name)})));
    SapRecord r;
    std::memset(static_cast<void*>(&r), 0x7E, sizeof r);
    ASSERT_TRUE(reader.next_record(r));
    EXPECT_EQ(std::strlen(r.name), 48u);
    EXPECT_EQ(std::string(r.name), name);
}

TEST_F(ReaderTest, MalformedRunIsDroppedAndTheGoodDatagramAfterItRead)
{
    auto good = payload_of(sap::NSR, {board_entry()});
    // Too short to hold a header.
    feed(std::vector<uint8_t>(12, 0xAB));
    // Length field shorter than the header.
    feed(datagram(good, 20));
    // Length field longer than what arrived.
    feed(datagram(good, 200));
    // Length field longer than what arrived, and in host order.
    auto lying = datagram(good);
    lying[2] = 0xFF;
    lying[3] = 0x03;
    feed(lying);
    // Header only; then an operation word alone.
    feed(datagram({}));
    feed(datagram({0x00, 0x02}));
    // A response whose single entry is cut short.
    auto cut = payload_of(sap::GSR, {board_entry("CUT")});
    cut.resize(40);
    feed(datagram(cut));
    // A query too short for its service type.
    feed(datagram({0x00, 0x01, 0x91}));
    // One good entry, then a leftover shorter than an entry.
    auto leftover = payload_of(sap::GSR, {board_entry("FIRST")});
    leftover.insert(leftover.end(), 20, 0xEE);
    feed(datagram(leftover));
    // A length that claims less than arrived: the tail is ignored.
    auto padded = datagram(payload_of(sap::NSR, {board_entry("PADDED")}));
    padded.insert(padded.end(), 17, 0xCC);
    feed(padded);
    feed(datagram(good));

    std::vector<std::string> names;
    SapRecord r;
    for (int i = 0; i < 30 && queue.size() > 0; ++i) {
        if (reader.next_record(r))
            names.push_back(r.name);
    }
    ASSERT_EQ(names, (std::vector<std::string>{"FIRST", "PADDED", "KELB"}));
    expect_board_record(r, sap::NSR, "KELB");
    EXPECT_EQ(reader.datagrams_held(), 0);
}

// Random datagrams, some built from valid ones with random damage: the
// reader must stay inside what it was given (checked by AddressSanitizer),
// consume everything, and still read a valid datagram fed afterwards.
TEST_F(ReaderTest, FuzzedDatagramsNeverDesynchroniseTheReader)
{
    std::mt19937 random(20261207);
    for (int round = 0; round < 2000; ++round) {
        int count = 1 + static_cast<int>(random() % 6);
        for (int i = 0; i < count; ++i) {
            std::vector<uint8_t> d;
            if (random() % 2) {
                int entries = static_cast<int>(random() % 4);
                std::vector<Entry> list(entries, board_entry("FUZZ"));
                d = datagram(payload_of(static_cast<uint16_t>(random() % 6), list));
                int flips = static_cast<int>(random() % 4);
                for (int f = 0; f < flips; ++f)
                    d[random() % d.size()] = static_cast<uint8_t>(random());
                if (random() % 3 == 0)
                    d.resize(random() % (d.size() + 1));
            } else {
                d.resize(random() % 300);
                for (uint8_t& b : d)
                    b = static_cast<uint8_t>(random());
            }
            if (!d.empty())
                feed(d);
        }
        SapRecord r;
        for (int calls = 0; calls < 64 && queue.size() > 0; ++calls)
            reader.next_record(r);
        ASSERT_EQ(queue.size(), 0) << "round " << round;
        feed(datagram(payload_of(sap::NSR, {board_entry("CHECK")})));
        ASSERT_TRUE(reader.next_record(r)) << "round " << round;
        ASSERT_STREQ(r.name, "CHECK");
    }
}

}
