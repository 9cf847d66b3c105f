// WebSocketTransport: a caller from a web page. The WebSocket carries what
// a Telnet connection carries (the option announcements, board bytes with
// 255 doubled, the caller's input with Telnet commands taken out), each
// send in a binary frame and each frame the caller sends unwrapped before
// the Telnet decode; over plain TCP or TLS.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "calls/caller_transport.h"
#include "port/tcp_socket.h"
#include "telnet/telnet_stream.h"
#include "web/tls_stream.h"
#include "web/websocket_frames.h"

class WebSocketTransport : public CallerTransport {
public:
    // Board bytes in one frame at the most: a send takes no more, so what
    // waits here beyond the session's own queue stays this small.
    static constexpr int MAX_FRAME_PAYLOAD = 16 * 1024;
    // The longest finish waits for the closing frame to go out.
    static constexpr int FINISH_WAIT_MS = 1000;

    // The connection after its upgrade: socket, TLS session (null over
    // plain HTTP) and bytes that came after the request; peer is the
    // caller's address as the listener decided it.
    WebSocketTransport(std::unique_ptr<TcpSocket> socket, std::unique_ptr<TlsStream> tls, std::string leftover,
                       const TcpAddress& peer);
    ~WebSocketTransport() override;

    const TcpAddress& peer() const override { return peer_; }
    int wait(bool readable, bool writable, int timeout_ms, int wake_fd) override;
    int receive(uint8_t* buffer, int size) override;
    int send(const uint8_t* bytes, int count) override;
    void close() override;
    void finish() override;

    void opening(ByteQueue& out) override { stream_.opening(out); }
    int32_t decode(uint8_t* bytes, int32_t count) override { return stream_.decode(bytes, count); }
    int32_t encoded_size(const uint8_t* bytes, int32_t count) override { return stream_.encoded_size(bytes, count); }
    bool encode(const uint8_t* bytes, int32_t count, ByteQueue& out) override
    {
        return stream_.encode(bytes, count, out);
    }
    // The Telnet NOP, which goes out in a binary frame like any output.
    void keepalive(ByteQueue& out) override { stream_.keepalive(out); }
    bool by_web() const override { return true; }

    // Why the connection ended from this side (a fault in the caller's
    // frames), empty otherwise.
    const std::string& fault() const { return fault_; }

private:
    int raw_receive(uint8_t* buffer, int size);
    int raw_send(const uint8_t* bytes, int count);
    // Sends what waits in out_ without waiting; false when the connection failed.
    bool flush();
    // Queues the closing frame once.
    void queue_close(uint16_t code);

    std::unique_ptr<TcpSocket> socket_;
    std::unique_ptr<TlsStream> tls_;
    std::string leftover_;
    TcpAddress peer_;
    TelnetStream stream_;
    WebSocketReader reader_;
    // Whole frames waiting to go out, from out_at_.
    std::vector<uint8_t> out_;
    size_t out_at_ = 0;
    // The caller's data bytes unwrapped but not yet taken, from in_at_.
    std::vector<uint8_t> in_;
    size_t in_at_ = 0;
    // The caller's frames ended the connection (close, or a fault).
    bool ended_ = false;
    bool close_queued_ = false;
    bool broken_ = false;
    std::string fault_;
};
