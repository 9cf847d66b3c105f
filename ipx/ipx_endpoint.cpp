// IpxEndpoint on the in-process IPX stack.
#include "ipx/ipx_endpoint.h"

#include "port/clock.h"
#include "ipx/ipx_stack.h"

IpxEndpoint::IpxEndpoint() : stack_(&ipx_stack()) {}

IpxEndpoint::IpxEndpoint(IpxStack& stack) : stack_(&stack) {}

IpxEndpoint::~IpxEndpoint() { close(); }

int IpxEndpoint::open(uint16_t socket_number)
{
    if (binding_ != nullptr)
        return -1;
    // Only a chosen number asks for reuse: several owners of a well-known
    // socket may share it, a dynamic one is ours alone.
    binding_ = stack_->bind(socket_number, socket_number != 0);
    return binding_ ? 0 : -1;
}

int IpxEndpoint::set_destination(const IpxAddress& destination)
{
    destination_ = destination;
    return 0;
}

int IpxEndpoint::poll()
{
    if (binding_ == nullptr)
        return -1;
    return stack_->readiness(binding_);
}

int IpxEndpoint::receive(uint8_t* buffer, int size)
{
    if (binding_ == nullptr)
        return -1;
    return stack_->take(binding_, buffer, size, receive_header_);
}

int IpxEndpoint::receive_packet(std::vector<uint8_t>& packet)
{
    if (binding_ == nullptr)
        return -1;
    return stack_->take_packet(binding_, packet);
}

void IpxEndpoint::wait(int timeout_ms)
{
    if (binding_ == nullptr) {
        sleep_ms(timeout_ms);
        return;
    }
    stack_->wait(binding_, timeout_ms);
}

void IpxEndpoint::wake()
{
    if (binding_ != nullptr)
        stack_->wake(binding_);
}

int IpxEndpoint::send(const uint8_t* bytes, int count)
{
    if (binding_ == nullptr)
        return -1;
    return stack_->send(binding_, destination_, bytes, count, broadcast_);
}

int IpxEndpoint::close()
{
    if (binding_ == nullptr)
        return -1;
    stack_->release(binding_);
    binding_ = nullptr;
    return 0;
}

int IpxEndpoint::set_receive_header(int on)
{
    if (binding_ == nullptr)
        return -1;
    receive_header_ = on != 0;
    return 0;
}

int IpxEndpoint::set_broadcast(int on)
{
    if (binding_ == nullptr)
        return -1;
    broadcast_ = on != 0;
    return 0;
}

int IpxEndpoint::set_receive_broadcast(int on)
{
    if (binding_ == nullptr)
        return -1;
    stack_->set_receive_broadcast(binding_, on != 0);
    return 0;
}

uint16_t IpxEndpoint::socket_number() const { return binding_ ? binding_->socket_number : 0; }
