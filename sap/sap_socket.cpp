#include "sap/sap_socket.h"

#include <cstring>

#include "port/host_description.h"
#include "ipx/ipx_endpoint.h"
#include "port/clock.h"
#include "sap/sap_envelope.h"

namespace {
// Room made before each receive so a datagram is never cut short; larger
// than any IPX datagram.
constexpr int32_t RECEIVE_ROOM = 1024;
// Beyond this much unread input the socket stops taking datagrams and the
// stack drops them, so a flood cannot grow the queue without end.
constexpr int32_t RECEIVE_LIMIT = 256 * 1024;
}

SapSocket::SapSocket(IpxStack* stack)
    : stack_(stack), receive_queue_(88, 44, 4096), send_queue_(88, 44, 4096),
      reader_(receive_queue_), default_destination_(ipx_broadcast(SAP_SOCKET))
{
}

SapSocket::~SapSocket() = default;

int SapSocket::open()
{
    if (endpoint_ == nullptr)
        endpoint_ = stack_ ? std::make_unique<IpxEndpoint>(*stack_) : std::make_unique<IpxEndpoint>();
    if (endpoint_->open(SAP_SOCKET) != 0)
        return -1;
    if (endpoint_->set_receive_header(1) != 0 || endpoint_->set_broadcast(1) != 0)
        return -1;
    if (host_is_nt() && endpoint_->set_receive_broadcast(1) != 0)
        return -1;
    reader_.clear();
    endpoint_->set_destination(default_destination_);
    return 0;
}

bool SapSocket::pump()
{
    if (endpoint_ == nullptr)
        return false;
    int ready = endpoint_->poll();
    if (ready < 0) {
        output_possible_ = false;
        return false;
    }
    bool moved = false;
    if (!output_blocked_)
        output_possible_ = (ready & PollWritable) != 0;

    if ((ready & PollReadable) && receive_queue_.size() < RECEIVE_LIMIT) {
        receive_queue_.reserve(RECEIVE_ROOM);
        int received = endpoint_->receive(receive_queue_.tail(), receive_queue_.space());
        if (received > 0) {
            receive_queue_.commit(received);
            reader_.datagram_committed(received);
            moved = true;
        }
    }

    MutexHold hold(send_mutex_);
    if ((ready & PollWritable) && send_queue_.size() > 0 && !output_blocked_) {
        SapEnvelope envelope;
        if (!front_sap_envelope(send_queue_, envelope)) {
            // Only queue_record writes here, so this cannot happen; never
            // send from a queue that lost its framing.
            send_queue_.clear();
            return moved;
        }
        // Sends always go to the SAP socket, whatever the envelope carries.
        IpxAddress to = envelope.destination;
        to.socket = SAP_SOCKET;
        endpoint_->set_destination(to);
        int sent = endpoint_->send(send_queue_.head() + SAP_ENVELOPE_LENGTH,
                                   envelope.total - SAP_ENVELOPE_LENGTH);
        endpoint_->set_destination(default_destination_);
        if (sent > 0) {
            send_queue_.consume(envelope.total);
            moved = true;
        }
    }
    return moved;
}

void SapSocket::wait(int timeout_ms)
{
    if (endpoint_ == nullptr)
        sleep_ms(timeout_ms);
    else
        endpoint_->wait(timeout_ms);
}

void SapSocket::wake()
{
    if (endpoint_ != nullptr)
        endpoint_->wake();
}

bool SapSocket::queue_record(const SapRecord& record)
{
    MutexHold hold(send_mutex_);
    return queue_sap_record(send_queue_, record);
}

int32_t SapSocket::pending_output()
{
    MutexHold hold(send_mutex_);
    return send_queue_.size();
}

int SapSocket::close()
{
    if (endpoint_ == nullptr)
        return 0;
    return endpoint_->close();
}
