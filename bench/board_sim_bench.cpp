// board_sim_bench: the simulator program alone on one line, each way,
// against a KNET peer in this process that answers every packet as soon as
// it arrives, so that the rate and the CPU are the simulator's (with the
// relay's hop), not the adapter's.
// Usage: board_sim_bench [--board PATH] [BYTES]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "port/host_description.h"
#include "bench/process_usage.h"
#include "ipx/ipx_endpoint.h"
#include "link/knet_packet.h"
#include "port/clock.h"
#include "sap/sap_agent.h"
#include "tests/support/child_process.h"
#include "tests/support/ipx_network.h"

namespace {

using namespace std::chrono_literals;

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One line of the simulator, called from an endpoint on stack.
class Line {
public:
    Line(IpxStack& stack, const std::string& board, int relay_port, std::vector<std::string> options)
        : endpoint_(stack)
    {
        options.insert(options.begin(), {board, "--relay", "127.0.0.1:" + std::to_string(relay_port)});
        sim_ = std::make_unique<support::ChildProcess>(options);
        SapAgent agent;
        agent.set_stack(&stack);
        IpxAddress address{};
        if (agent.init() != 0 || !support::wait_until([&] { return agent.find_server("KELB", address); }, 10s))
            throw Failure("the simulator was never heard: " + sim_->err());
        agent.shutdown();
        if (endpoint_.open(0) != 0)
            throw Failure("no IPX socket");
        endpoint_.set_destination(address);
        uint8_t p[KNET_MAX_PACKET];
        send(p, knet_write_connection_request(p, 1, "KELB"));
        while (line_ == 0)
            next([](const KnetPacket&) {});
    }
    ~Line() { sim_->stop(); }

    pid_t pid() const { return sim_->pid(); }
    uint8_t line() const { return line_; }

    void send(const uint8_t* p, int n)
    {
        if (endpoint_.send(p, n) != n)
            throw Failure("send failed");
    }

    // Waits for the next datagram and hands each of its packets to take; an
    // Accept sets the line.
    template <class Take>
    void next(Take take)
    {
        uint8_t datagram[IPX_MAX_PACKET];
        int n = 0;
        for (int waits = 0; (n = endpoint_.receive(datagram, sizeof datagram)) == 0; ++waits) {
            if (waits == 5)
                throw Failure("the simulator stopped answering");
            endpoint_.wait(1000);
        }
        if (n < 0)
            throw Failure("receive failed");
        KnetPacketReader reader(datagram, n);
        KnetPacket p;
        while (reader.next(p)) {
            if (p.header.type == knet::ConnectionAccept)
                line_ = p.payload[0];
            take(p);
        }
    }

private:
    IpxEndpoint endpoint_;
    std::unique_ptr<support::ChildProcess> sim_;
    uint8_t line_ = 0;
};

double seconds_since(uint64_t start)
{
    return static_cast<double>(performance_ticks() - start) / PERFORMANCE_TICKS_PER_SECOND;
}

void report(const char* what, long bytes, double seconds, const UsageWindow& sim)
{
    std::printf("%-16s %9ld bytes in %6.3f s = %7.0f KB/s, simulator %5.1f %%core\n", what, bytes, seconds,
                bytes / seconds / 1024, sim.core_share * 100);
}

// The board's bulk output, each Data acknowledged as it arrives.
void board_to_caller(IpxStack& stack, const std::string& board, int relay_port, long bytes)
{
    Line line(stack, board, relay_port, {"--echo", "--bulk", std::to_string(bytes)});
    UsageMeter meter(line.pid());
    const uint64_t start = performance_ticks();
    long got = 0;
    uint16_t sequence = 1;
    while (got < bytes) {
        line.next([&](const KnetPacket& p) {
            if (p.header.type != knet::Data)
                return;
            got += p.header.length;
            uint8_t ack[KNET_MAX_PACKET];
            line.send(ack, knet_write_ack(ack, line.line(), sequence++, p.header.sequence, KNET_ACK_CONTROL_WORD));
        });
    }
    report("board -> caller", got, seconds_since(start), meter.finish());
}

// Full Data packets to a board that discards them, each sent once the one
// before is acknowledged.
void caller_to_board(IpxStack& stack, const std::string& board, int relay_port, long bytes)
{
    Line line(stack, board, relay_port, {"--discard"});
    UsageMeter meter(line.pid());
    const uint64_t start = performance_ticks();
    std::vector<uint8_t> payload(KNET_MAX_DATA, '0');
    uint8_t packet[KNET_MAX_PACKET];
    long sent = 0;
    for (uint16_t sequence = 1; sent < bytes; ++sequence) {
        line.send(packet, knet_write_data(packet, line.line(), sequence, payload.data(), KNET_MAX_DATA));
        sent += KNET_MAX_DATA;
        bool acked = false;
        while (!acked)
            line.next([&](const KnetPacket& p) {
                acked = acked || (p.header.type == knet::Ack && get_be16(p.payload) == sequence);
            });
    }
    report("caller -> board", sent, seconds_since(start), meter.finish());
}

}

int main(int argc, char** argv)
{
    std::string board = BOARD_SIM_BINARY;
    long bytes = 8 << 20;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--board" && i + 1 < argc)
            board = argv[++i];
        else
            bytes = std::atol(argv[i]);
    }
    if (bytes <= 0) {
        std::fprintf(stderr, "usage: board_sim_bench [--board PATH] [BYTES]\n");
        return 2;
    }
    describe_host();
    IpxRelay relay;
    IpxStack stack;
    if (!support::start_network(relay, {&stack})) {
        std::fprintf(stderr, "the IPX network did not come up\n");
        return 1;
    }
    int status = 0;
    try {
        board_to_caller(stack, board, relay.address().port, bytes);
        caller_to_board(stack, board, relay.address().port, bytes);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "board_sim_bench: %s\n", e.what());
        status = 1;
    }
    stack.stop();
    relay.stop();
    return status;
}
