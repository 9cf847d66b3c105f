// The benchmark's callers against its reference server and against peers
// that misbehave on purpose: the checks must catch what they claim to.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "bench/load_callers.h"
#include "bench/reference_server.h"
#include "tests/support/adapter_texts.h"
#include "tests/support/loopback_socket.h"

namespace {

using support::bulk_pattern;

// A listener on 127.0.0.1 that writes the given bytes to its one caller,
// then waits for the caller to go.
class ScriptedPeer {
public:
    explicit ScriptedPeer(std::string bytes) : bytes_(std::move(bytes))
    {
        listener_ = support::listen_loopback(4, port_);
        thread_ = std::thread([this] {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0)
                return;
            ::send(fd, bytes_.data(), bytes_.size(), MSG_NOSIGNAL);
            char b;
            while (::recv(fd, &b, 1, 0) > 0) {
            }
            ::close(fd);
        });
    }
    ~ScriptedPeer()
    {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    int port() const { return port_; }

private:
    std::string bytes_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

StreamResult receive_from(const std::string& bytes, long expected)
{
    ScriptedPeer peer(bytes);
    CallerGroup group(false);
    std::string error;
    EXPECT_TRUE(group.connect({peer.port()}, 1, 5000, error)) << error;
    StreamResult r = run_receive(group, expected, 100, 5000);
    group.hang_up();
    return r;
}

}

TEST(Percentile, NearestRank)
{
    std::vector<double> v;
    for (int i = 100; i >= 1; --i)
        v.push_back(i);
    EXPECT_EQ(percentile(v, 50), 50);
    EXPECT_EQ(percentile(v, 99), 99);
    EXPECT_EQ(percentile(v, 100), 100);
    EXPECT_EQ(percentile({7}, 99), 7);
    EXPECT_EQ(percentile({}, 50), 0);
}

TEST(BenchCallers, StreamsBothWaysAndEchoThroughTheReferenceServer)
{
    ReferenceServer server;
    std::string error;

    server.set_mode(ReferenceServer::Mode::Bulk, 300000);
    CallerGroup receivers(false);
    ASSERT_TRUE(receivers.connect({server.port()}, 3, 5000, error)) << error;
    StreamResult out = run_receive(receivers, 300000, 100, 10000);
    EXPECT_EQ(out.intact_lines, 3) << out.first_error;
    EXPECT_EQ(out.bytes_in_order, 900000);
    EXPECT_EQ(out.line_rate.size(), 3u);
    EXPECT_GT(out.aggregate_rate, 0);
    receivers.hang_up();

    server.set_mode(ReferenceServer::Mode::Verify, 200000);
    CallerGroup senders(false);
    ASSERT_TRUE(senders.connect({server.port()}, 2, 5000, error)) << error;
    StreamResult in = run_send(senders, 200000, 100, 10000);
    EXPECT_EQ(in.intact_lines, 2) << in.first_error;
    senders.hang_up();

    server.set_mode(ReferenceServer::Mode::Echo);
    CallerGroup typists(false);
    ASSERT_TRUE(typists.connect({server.port()}, 4, 5000, error)) << error;
    EchoResult echo = run_echo(typists, 5, 1, 3, 10000);
    EXPECT_EQ(echo.latency_ms.size(), 20u);
    EXPECT_EQ(echo.wrong, 0);
    EXPECT_EQ(echo.unanswered, 0);
    typists.hang_up();

    server.set_mode(ReferenceServer::Mode::Refuse, 0, "\xFF\xFB\x01" "Go away.\r\n");
    RefuseResult refused = run_refuse(server.port(), "Go away.\r\n", 3, 30, 10000);
    EXPECT_EQ(refused.calls, 30);
    EXPECT_EQ(refused.right, 30) << refused.first_error;
    EXPECT_GT(refused.per_second, 0);
}

TEST(BenchCallers, LossDuplicationAndStraysAreNotIntact)
{
    // A whole 512-byte packet twice: the pattern holds, the count does not.
    StreamResult doubled = receive_from(bulk_pattern(1024, 0) + bulk_pattern(512, 512), 1024);
    EXPECT_EQ(doubled.intact_lines, 0);
    EXPECT_EQ(doubled.bytes_extra, 512);

    StreamResult lost = receive_from(bulk_pattern(500, 0) + bulk_pattern(424, 600), 1024);
    EXPECT_EQ(lost.intact_lines, 0);
    EXPECT_EQ(lost.bytes_in_order, 500);
    EXPECT_FALSE(lost.first_error.empty());

    StreamResult short_by_one = receive_from(bulk_pattern(1023, 0), 1024);
    EXPECT_EQ(short_by_one.intact_lines, 0);

    StreamResult exact = receive_from(bulk_pattern(1024, 0), 1024);
    EXPECT_EQ(exact.intact_lines, 1) << exact.first_error;
}

TEST(BenchCallers, AWrongReportOrAWrongEchoIsCounted)
{
    // A peer that answers the sender with a complaint.
    ScriptedPeer complaint("Byte 9 is 0x30, expected 0x38.\r\n");
    CallerGroup group(false);
    std::string error;
    ASSERT_TRUE(group.connect({complaint.port()}, 1, 5000, error)) << error;
    StreamResult r = run_send(group, 1000, 100, 5000);
    EXPECT_EQ(r.intact_lines, 0);
    EXPECT_NE(r.first_error.find("Byte 9"), std::string::npos) << r.first_error;
    group.hang_up();

    // A peer that sends something other than the keystroke and never echoes.
    ScriptedPeer chatter("zz");
    CallerGroup typist(false);
    ASSERT_TRUE(typist.connect({chatter.port()}, 1, 5000, error)) << error;
    EchoResult echo = run_echo(typist, 2, 1, 2, 4000);
    EXPECT_TRUE(echo.latency_ms.empty());
    EXPECT_EQ(echo.unanswered, 1);
}

TEST(BenchCallers, ThroughTheAdapterTheDataStartsAfterTheLineIsNamed)
{
    ScriptedPeer adapter(std::string("\xFF\xFB\x03", 3) + "ORVA v1.0 Connected.\r\nConnected to KELB line 42\r\n" +
                         bulk_pattern(100, 0));
    CallerGroup group(true);
    std::string error;
    ASSERT_TRUE(group.connect({adapter.port()}, 1, 5000, error)) << error;
    EXPECT_EQ(group.callers()[0].line, 42);
    StreamResult r = run_receive(group, 100, 100, 5000);
    EXPECT_EQ(r.intact_lines, 1) << r.first_error;
}
