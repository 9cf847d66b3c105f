#include "web/websocket_transport.h"

#include <algorithm>
#include <cstring>

#include "port/clock.h"

WebSocketTransport::WebSocketTransport(std::unique_ptr<TcpSocket> socket, std::unique_ptr<TlsStream> tls,
                                       std::string leftover, const TcpAddress& peer)
    : socket_(std::move(socket)), tls_(std::move(tls)), leftover_(std::move(leftover)), peer_(peer)
{
}

WebSocketTransport::~WebSocketTransport()
{
    close();
}

int WebSocketTransport::raw_receive(uint8_t* buffer, int size)
{
    if (!leftover_.empty()) {
        const int n = std::min(size, int(leftover_.size()));
        std::memcpy(buffer, leftover_.data(), size_t(n));
        leftover_.erase(0, size_t(n));
        return n;
    }
    return tls_ ? tls_->receive(buffer, size) : socket_->receive(buffer, size);
}

int WebSocketTransport::raw_send(const uint8_t* bytes, int count)
{
    return tls_ ? tls_->send(bytes, count) : socket_->send(bytes, count);
}

bool WebSocketTransport::flush()
{
    if (broken_)
        return false;
    while (out_at_ < out_.size()) {
        const int n = raw_send(out_.data() + out_at_, int(std::min<size_t>(out_.size() - out_at_, 1 << 20)));
        if (n < 0) {
            broken_ = true;
            out_.clear();
            out_at_ = 0;
            return false;
        }
        if (n == 0)
            return true;
        out_at_ += size_t(n);
    }
    out_.clear();
    out_at_ = 0;
    return true;
}

void WebSocketTransport::queue_close(uint16_t code)
{
    if (close_queued_)
        return;
    close_queued_ = true;
    ws_append_close(code, "", out_);
}

int WebSocketTransport::wait(bool readable, bool writable, int timeout_ms, int wake_fd)
{
    if (!socket_ || socket_->handle() < 0)
        return PollError;
    // Bytes already here are not seen by a poll of the socket.
    if (readable && (in_at_ < in_.size() || !leftover_.empty() || ended_ || (tls_ && tls_->pending())))
        return PollReadable;
    const bool pending = out_at_ < out_.size();
    bool want_read = readable;
    bool want_write = writable || pending;
    // TLS may need the other direction to go on (a handshake message).
    if (tls_ && tls_->wanted() == PollWritable && readable)
        want_write = true;
    int r = socket_->wait(want_read, want_write, timeout_ms, wake_fd);
    if ((r & PollWritable) && pending && !flush())
        return PollError;
    if (tls_ && (r & (PollReadable | PollWritable)) && readable)
        r |= PollReadable;
    if (!writable)
        r &= ~PollWritable;
    else if (out_at_ < out_.size())
        r &= ~PollWritable; // room is still taken by what waits here
    return r;
}

int WebSocketTransport::receive(uint8_t* buffer, int size)
{
    if (broken_)
        return -1;
    if (in_at_ == in_.size() && !ended_) {
        in_.clear();
        in_at_ = 0;
        uint8_t raw[16 * 1024];
        const int n = raw_receive(raw, std::min<int>(size, sizeof raw));
        if (n <= 0)
            return n;
        if (!reader_.read(raw, size_t(n), in_, out_)) {
            ended_ = true;
            close_queued_ = true; // the reader queued the closing frame
            if (!reader_.peer_closed())
                fault_ = reader_.reason();
        }
        if (!flush())
            return -1;
    }
    if (in_at_ < in_.size()) {
        const int n = std::min(size, int(in_.size() - in_at_));
        std::memcpy(buffer, in_.data() + in_at_, size_t(n));
        in_at_ += size_t(n);
        return n;
    }
    // Frames of no data (a ping, a pong) leave nothing to read yet.
    return ended_ ? 0 : TCP_WOULD_BLOCK;
}

int WebSocketTransport::send(const uint8_t* bytes, int count)
{
    if (!flush())
        return -1;
    if (out_at_ < out_.size())
        return 0;
    if (close_queued_)
        return count; // the caller is leaving: what is left goes nowhere
    const int n = std::min(count, MAX_FRAME_PAYLOAD);
    ws_append_frame(WS_OP_BINARY, bytes, size_t(n), out_);
    return flush() ? n : -1;
}

void WebSocketTransport::finish()
{
    queue_close(WS_CLOSE_NORMAL);
    const uint64_t until = monotonic_ms() + FINISH_WAIT_MS;
    while (flush() && out_at_ < out_.size()) {
        const uint64_t now = monotonic_ms();
        if (now >= until)
            break;
        socket_->wait(false, true, int(until - now), -1);
    }
}

void WebSocketTransport::close()
{
    if (!socket_ || socket_->handle() < 0)
        return;
    // A refused caller hears the close right after its text, never waiting.
    queue_close(WS_CLOSE_NORMAL);
    flush();
    if (tls_)
        tls_->shutdown();
    socket_->close();
}
