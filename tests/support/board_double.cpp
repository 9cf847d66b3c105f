#include "tests/support/board_double.h"

#include "ipx/ipx_packet.h"
#include "port/clock.h"
#include "tests/support/wait_until.h"

namespace support {

namespace {
void quiet(const char*) {}
}

BoardDouble::~BoardDouble()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (announcer_)
        announcer_->stop();
    endpoint_.reset();
    stack_.stop();
}

bool BoardDouble::start(int relay_port, int silence_limit_ms)
{
    IpxStackTiming timing;
    timing.register_interval_ms = 100;
    timing.silence_limit_ms = silence_limit_ms;
    stack_.set_timing(timing);
    stack_.set_notice_sink(quiet);
    if (stack_.start("127.0.0.1", relay_port) != 0 || !wait_until([&] { return stack_.registered(); }))
        return false;
    endpoint_ = std::make_unique<IpxEndpoint>(stack_);
    if (endpoint_->open(0) != 0 || endpoint_->set_receive_header(1) != 0)
        return false;
    IpxAddress address = stack_.local_address();
    address.socket = endpoint_->socket_number();
    announcer_ = std::make_unique<SapAnnouncer>(&stack_);
    announcer_->set_interval_ms(1000);
    announcer_->add_server("KELB", address);
    if (announcer_->start() != 0)
        return false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void BoardDouble::with(const std::function<void(StrictBoard&)>& f)
{
    std::lock_guard<std::mutex> hold(lock_);
    f(board_);
}

void BoardDouble::run()
{
    uint8_t buffer[IPX_HEADER_SIZE + 16640];
    while (!stop_) {
        announcer_->poll();
        endpoint_->wait(10);
        std::lock_guard<std::mutex> hold(lock_);
        while (endpoint_->poll() & PollReadable) {
            const int n = endpoint_->receive(buffer, sizeof buffer);
            if (n < static_cast<int>(IPX_HEADER_SIZE))
                break;
            peer_ = IpxAddress::read(buffer + IPX_SOURCE_OFFSET);
            board_.receive(knet_bytes::Bytes(buffer + IPX_HEADER_SIZE, buffer + n));
        }
        board_.tick(monotonic_ms());
        if (board_.outbox.empty())
            continue;
        endpoint_->set_destination(peer_);
        for (const knet_bytes::Bytes& d : board_.outbox)
            endpoint_->send(d.data(), static_cast<int>(d.size()));
        board_.outbox.clear();
    }
}

}
