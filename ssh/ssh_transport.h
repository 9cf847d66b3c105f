// SshTransport: a caller over SSH. The key exchange, the authentication
// (any user and any answer: the board asks for its own login; public keys
// are declined so that clients fall back to the others) and the one session
// channel with its pty-req and shell happen on the caller's I/O thread,
// inside wait, receive and send, never blocking. Until the shell is open
// nothing is read or sent; past the setup limit, after too many declined
// attempts or on a protocol error, wait reports PollError. Bytes go raw
// both ways: the channel is the byte stream.
#pragma once

#include <cstdint>
#include <libssh/callbacks.h>
#include <libssh/libssh.h>
#include <libssh/server.h>
#include <memory>
#include <string>

#include "calls/caller_transport.h"
#include "port/tcp_socket.h"

class SshTransport : public CallerTransport {
public:
    // A caller that has not opened its shell this long after it connected
    // is closed.
    static constexpr int SETUP_LIMIT_MS = 10000;
    // Declined authentication attempts before the caller is closed.
    static constexpr int AUTH_ATTEMPTS_LIMIT = 3;
    // Board bytes the channel may hold unsent; more wait in the session
    // until these have gone out, so a caller who reads slowly holds no more
    // than this in the encryption's own buffer.
    static constexpr int SEND_CHUNK = 32 * 1024;
    // How long finish waits for the client to close.
    static constexpr int FINISH_LIMIT_MS = 2000;

    // Takes the accepted connection into bind's setup (nothing is sent or
    // read yet). charset_auto: the terminal type decides, else charset.
    SshTransport(ssh_bind bind, std::unique_ptr<TcpSocket> connection, bool charset_auto, Charset charset);
    ~SshTransport() override;
    SshTransport(const SshTransport&) = delete;
    SshTransport& operator=(const SshTransport&) = delete;

    const TcpAddress& peer() const override { return peer_; }
    int wait(bool readable, bool writable, int timeout_ms, int wake_fd) override;
    int receive(uint8_t* buffer, int size) override;
    int send(const uint8_t* bytes, int count) override;
    // Sends the exit status, end of data and the channel's close, then
    // waits up to FINISH_LIMIT_MS for the client to hang up: a client that
    // reads the disconnect first may drop the last text unseen.
    void finish() override;
    void close() override;

    // The session opens with nothing of the transport's own.
    void opening(ByteQueue&) override {}
    int32_t decode(uint8_t*, int32_t count) override { return count; }
    int32_t encoded_size(const uint8_t*, int32_t count) override { return count; }
    bool encode(const uint8_t* bytes, int32_t count, ByteQueue& out) override;
    // The channel carries only the caller's bytes, so the probe is an
    // SSH_MSG_IGNORE sent at once: like a Telnet NOP it makes the network
    // say whether the caller is still there, and clients drop it unseen.
    void keepalive(ByteQueue&) override;
    bool ready() const override { return shell_open_; }
    Charset charset() const override { return charset_; }
    bool by_ssh() const override { return true; }

    // The terminal type the caller's pty-req named; empty without one.
    const std::string& terminal_type() const { return terminal_; }

private:
    // Sends the version line and sets the callbacks: the first wait.
    bool begin(int wake_fd);
    // The readiness bits that stand now, without waiting.
    int readiness(bool readable, bool writable);
    // The connection is over or unusable.
    bool broken();
    void fail();

    static int on_auth_none(ssh_session, const char*, void* self);
    static int on_auth_password(ssh_session, const char*, const char*, void* self);
    static int on_auth_pubkey(ssh_session, const char*, ssh_key, char, void* self);
    static ssh_channel on_channel_open(ssh_session, void* self);
    static int on_message(ssh_session, ssh_message message, void* self);
    static int on_pty_request(ssh_session, ssh_channel, const char* term, int, int, int, int, void* self);
    static int on_shell_request(ssh_session, ssh_channel, void* self);
    static int on_window_change(ssh_session, ssh_channel, int, int, int, int, void*);
    static int on_env_request(ssh_session, ssh_channel, const char*, const char*, void*);
    static int on_wake(socket_t, int, void* self);
    void declined();

    TcpAddress peer_;
    ssh_session session_ = nullptr;
    ssh_event event_ = nullptr;
    ssh_channel channel_ = nullptr;
    ssh_server_callbacks_struct server_callbacks_{};
    ssh_channel_callbacks_struct channel_callbacks_{};
    bool started_ = false;
    bool failed_ = false;
    bool shell_open_ = false;
    bool woken_ = false;
    int wake_fd_ = -1;
    int declined_ = 0;
    // Bytes handed to the channel since its output last went out whole.
    int unflushed_ = 0;
    uint64_t setup_deadline_ms_;
    bool charset_auto_;
    Charset charset_;
    std::string terminal_;
};
