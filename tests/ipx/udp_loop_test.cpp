// The receive loop that the tunnel relay and the IPX stack share, on real
// loopback sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "ipx/udp_loop.h"
#include "tests/support/wait_until.h"

namespace {

using namespace support;

class UdpLoopTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_EQ(socket.open("127.0.0.1", 0, error), 0) << error;
        ASSERT_EQ(sender.open("127.0.0.1", 0, error), 0) << error;
    }
    void send(const std::string& bytes)
    {
        const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
        ASSERT_EQ(sender.send_to(socket.local_address(), data, bytes.size()), int(bytes.size()));
    }
    bool received_count(size_t count)
    {
        return wait_until([&] {
            std::lock_guard<std::mutex> hold(lock);
            return received.size() >= count;
        });
    }

    UdpSocket socket;
    UdpSocket sender;
    std::atomic<int> waits{0};
    std::atomic<int> timer_ms{-1};
    std::mutex lock;
    std::vector<std::string> received;
    // Last, so that it stops before what it calls goes.
    UdpLoop loop{socket, 8, [this] {
                     ++waits;
                     return timer_ms.load();
                 },
                 [this](const UdpDatagram* datagrams, int count) {
                     std::lock_guard<std::mutex> hold(lock);
                     for (int i = 0; i < count; ++i)
                         received.emplace_back(reinterpret_cast<const char*>(datagrams[i].data), datagrams[i].size);
                 }};
};

}

TEST_F(UdpLoopTest, DeliversDatagramsInOrderCutToSizeAndWakesForTheOwnersTimer)
{
    loop.start();
    send("one");
    send("two");
    send("longer than eight");
    ASSERT_TRUE(received_count(3));
    EXPECT_EQ(received, (std::vector<std::string>{"one", "two", "longer t"}));

    // With a timer due every 10 ms the loop comes round again with nothing
    // arriving; the datagram only ends the wait that had no timer.
    const int before = waits;
    timer_ms = 10;
    send("tick");
    EXPECT_TRUE(wait_until([&] { return waits >= before + 5; }));
    loop.stop();
    EXPECT_FALSE(loop.started());
}

// The stop of an earlier run is not left signalled: a restarted loop would
// come round at once, for ever, with nothing to do.
TEST_F(UdpLoopTest, RestartedLoopWaitsForTrafficInsteadOfSpinning)
{
    loop.start();
    loop.stop();
    loop.start();
    send("again");
    ASSERT_TRUE(received_count(1));
    const int settled = waits;
    EXPECT_FALSE(wait_until([&] { return waits > settled + 50; }, 300ms)) << waits - settled << " idle rounds";
}
