// TelnetTransport: a caller over Telnet: the accepted TCP connection, the
// option announcements that open the session, commands taken out of what
// the caller sends and data bytes 255 doubled on their way to the caller,
// in the character set of the port it came to.
#pragma once

#include <memory>

#include "calls/caller_transport.h"
#include "port/tcp_socket.h"
#include "telnet/telnet_stream.h"

class TelnetTransport : public CallerTransport {
public:
    explicit TelnetTransport(std::unique_ptr<TcpSocket> connection, Charset charset = Charset::Cp437)
        : connection_(std::move(connection)), charset_(charset) {}

    const TcpAddress& peer() const override { return connection_->address(); }
    int wait(bool readable, bool writable, int timeout_ms, int wake_fd) override
    {
        return connection_->wait(readable, writable, timeout_ms, wake_fd);
    }
    int receive(uint8_t* buffer, int size) override { return connection_->receive(buffer, size); }
    int send(const uint8_t* bytes, int count) override { return connection_->send(bytes, count); }
    void close() override { connection_->close(); }

    void opening(ByteQueue& out) override { stream_.opening(out); }
    int32_t decode(uint8_t* bytes, int32_t count) override { return stream_.decode(bytes, count); }
    int32_t encoded_size(const uint8_t* bytes, int32_t count) override { return stream_.encoded_size(bytes, count); }
    bool encode(const uint8_t* bytes, int32_t count, ByteQueue& out) override { return stream_.encode(bytes, count, out); }
    void keepalive(ByteQueue& out) override { stream_.keepalive(out); }
    Charset charset() const override { return charset_; }

private:
    std::unique_ptr<TcpSocket> connection_;
    // The listener's: the port a caller dialled says what it takes.
    Charset charset_;
    TelnetStream stream_;
};
