#include "ipx/udp_loop.h"

#include <utility>
#include <vector>

#include "port/worker_thread.h"

UdpLoop::UdpLoop(UdpSocket& socket, size_t datagram_size, BeforeWait before_wait, Received received)
    : socket_(socket), datagram_size_(datagram_size), before_wait_(std::move(before_wait)),
      received_(std::move(received))
{
}

UdpLoop::~UdpLoop() { stop(); }

void UdpLoop::start(const char* name)
{
    if (thread_.joinable())
        return;
    stopping_ = false;
    // A stop signalled for an earlier run would end every wait at once.
    wake_.clear();
    thread_ = std::thread([this, name] {
        name_this_thread(name);
        run();
    });
}

void UdpLoop::run()
{
    std::vector<uint8_t> buffers(static_cast<size_t>(UDP_LOOP_BATCH) * datagram_size_);
    UdpDatagram batch[UDP_LOOP_BATCH];
    while (!stopping_) {
        socket_.wait_readable(wake_.descriptor(), before_wait_());
        for (int taken = 0; taken < UDP_LOOP_MOST_PER_WAIT && !stopping_;) {
            const int n = socket_.receive_many(buffers.data(), datagram_size_, batch, UDP_LOOP_BATCH);
            if (n <= 0)
                break;
            received_(batch, n);
            taken += n;
            if (n < UDP_LOOP_BATCH)
                break;
        }
    }
}

void UdpLoop::request_stop()
{
    stopping_ = true;
    wake_.signal();
}

void UdpLoop::stop()
{
    request_stop();
    if (thread_.joinable())
        thread_.join();
}
