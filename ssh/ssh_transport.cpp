#include "ssh/ssh_transport.h"

#include <algorithm>
#include <poll.h>

#include "port/clock.h"
#include "port/readiness.h"
#include "ssh/terminal_charset.h"

SshTransport::SshTransport(ssh_bind bind, std::unique_ptr<TcpSocket> connection, bool charset_auto, Charset charset)
    : peer_(connection->address()), setup_deadline_ms_(monotonic_ms() + uint64_t(SETUP_LIMIT_MS)),
      charset_auto_(charset_auto), charset_(charset)
{
    session_ = ssh_new();
    // The session owns the descriptor from here on, and closes it.
    const int fd = connection->release();
    if (!session_ || ssh_bind_accept_fd(bind, session_, fd) != SSH_OK) {
        // Closed once: by the session if it took the descriptor before it
        // failed, else here.
        const bool taken = session_ && ssh_get_fd(session_) == fd;
        if (session_) {
            ssh_free(session_);
            session_ = nullptr;
        }
        if (!taken)
            tcp_close(fd);
        failed_ = true;
    }
}

SshTransport::~SshTransport()
{
    close();
}

bool SshTransport::begin(int wake_fd)
{
    started_ = true;
    ssh_set_blocking(session_, 0);

    server_callbacks_.userdata = this;
    server_callbacks_.auth_none_function = on_auth_none;
    server_callbacks_.auth_password_function = on_auth_password;
    server_callbacks_.auth_pubkey_function = on_auth_pubkey;
    server_callbacks_.channel_open_request_session_function = on_channel_open;
    ssh_callbacks_init(&server_callbacks_);
    ssh_set_server_callbacks(session_, &server_callbacks_);
    // Keyboard-interactive, and everything the callbacks leave: refused
    // unless handled there.
    ssh_set_message_callback(session_, on_message, this);
    ssh_set_auth_methods(session_, SSH_AUTH_METHOD_NONE | SSH_AUTH_METHOD_PASSWORD | SSH_AUTH_METHOD_INTERACTIVE);

    channel_callbacks_.userdata = this;
    channel_callbacks_.channel_pty_request_function = on_pty_request;
    channel_callbacks_.channel_shell_request_function = on_shell_request;
    channel_callbacks_.channel_pty_window_change_function = on_window_change;
    channel_callbacks_.channel_env_request_function = on_env_request;
    ssh_callbacks_init(&channel_callbacks_);

    // Sends the version line; the exchange goes on as the caller's packets
    // come in, each time the event is polled.
    if (ssh_handle_key_exchange(session_) == SSH_ERROR)
        return false;
    event_ = ssh_event_new();
    if (!event_ || ssh_event_add_session(event_, session_) != SSH_OK)
        return false;
    if (wake_fd >= 0 && ssh_event_add_fd(event_, wake_fd, POLLIN, on_wake, this) != SSH_OK)
        return false;
    wake_fd_ = wake_fd;
    return true;
}

void SshTransport::fail()
{
    failed_ = true;
}

bool SshTransport::broken()
{
    if (failed_ || !session_)
        return true;
    if (!started_)
        return false;
    if (ssh_get_status(session_) & (SSH_CLOSED | SSH_CLOSED_ERROR))
        return true;
    return !shell_open_ && monotonic_ms() >= setup_deadline_ms_;
}

int SshTransport::readiness(bool readable, bool writable)
{
    if (broken()) {
        failed_ = true;
        return PollError;
    }
    if (!shell_open_)
        return 0;
    int r = 0;
    // End of the caller's data is read as such; output may still go to it
    // until the channel closes.
    const bool closed = ssh_channel_is_closed(channel_);
    if (readable && (closed || ssh_channel_is_eof(channel_) || ssh_channel_poll(channel_, 0) != 0))
        r |= PollReadable;
    else if (closed)
        r |= PollError; // gone while its input was held back
    if (writable && (unflushed_ < SEND_CHUNK || !(ssh_get_poll_flags(session_) & SSH_WRITE_PENDING)) &&
        ssh_channel_window_size(channel_) > 0)
        r |= PollWritable;
    return r;
}

int SshTransport::wait(bool readable, bool writable, int timeout_ms, int wake_fd)
{
    if (!started_ && !failed_ && session_ && !begin(wake_fd))
        fail();
    if (!failed_ && wake_fd != wake_fd_) {
        if (wake_fd_ >= 0)
            ssh_event_remove_fd(event_, wake_fd_);
        wake_fd_ = -1;
        if (wake_fd >= 0 && ssh_event_add_fd(event_, wake_fd, POLLIN, on_wake, this) == SSH_OK)
            wake_fd_ = wake_fd;
    }
    const uint64_t start_ms = monotonic_ms();
    for (;;) {
        const int r = readiness(readable, writable);
        if (r)
            return r;
        const uint64_t now_ms = monotonic_ms();
        // Polled as long as the caller asked, but never past the setup limit.
        int64_t left = timeout_ms < 0 ? -1 : int64_t(start_ms) + timeout_ms - int64_t(now_ms);
        if (!shell_open_) {
            const int64_t setup_left = std::max<int64_t>(int64_t(setup_deadline_ms_) - int64_t(now_ms), 0);
            left = left < 0 ? setup_left : std::min(left, setup_left);
        }
        if (timeout_ms >= 0 && left <= 0)
            return 0;
        woken_ = false;
        // left < 0 here: no limit at all.
        if (ssh_event_dopoll(event_, int(left)) == SSH_ERROR) {
            failed_ = true;
            return PollError;
        }
        if (woken_)
            return PollWoken | readiness(readable, writable);
    }
}

int SshTransport::receive(uint8_t* buffer, int size)
{
    if (failed_ || !session_)
        return -1;
    if (!shell_open_)
        return TCP_WOULD_BLOCK;
    const int n = ssh_channel_read_nonblocking(channel_, buffer, uint32_t(size), 0);
    if (n > 0)
        return n;
    if (n == SSH_EOF || ssh_channel_is_eof(channel_) || ssh_channel_is_closed(channel_))
        return 0;
    if (n == SSH_ERROR) {
        failed_ = true;
        return -1;
    }
    return TCP_WOULD_BLOCK;
}

int SshTransport::send(const uint8_t* bytes, int count)
{
    if (failed_ || !session_)
        return -1;
    // Nothing goes before the shell; the session keeps it queued.
    if (!shell_open_ || count <= 0)
        return 0;
    if (ssh_channel_is_closed(channel_))
        return -1;
    // What the encryption still holds stays under SEND_CHUNK: counted from
    // the last time it held nothing.
    if (!(ssh_get_poll_flags(session_) & SSH_WRITE_PENDING))
        unflushed_ = 0;
    if (unflushed_ >= SEND_CHUNK)
        return 0;
    const uint32_t window = ssh_channel_window_size(channel_);
    const int n = int(std::min<uint32_t>({uint32_t(count), window, uint32_t(SEND_CHUNK - unflushed_)}));
    if (n == 0)
        return 0;
    const int written = ssh_channel_write(channel_, bytes, uint32_t(n));
    if (written < 0) {
        failed_ = true;
        return -1;
    }
    unflushed_ += written;
    return written;
}

bool SshTransport::encode(const uint8_t* bytes, int32_t count, ByteQueue& out)
{
    out.reserve(count);
    if (out.space() < count)
        return false;
    return out.append(bytes, count);
}

void SshTransport::keepalive(ByteQueue&)
{
    if (!failed_ && session_ && shell_open_ && ssh_send_ignore(session_, "") != SSH_OK)
        failed_ = true;
}

void SshTransport::finish()
{
    if (failed_ || !session_ || !shell_open_ || !event_ || broken())
        return;
    // The session's stop is signalled by now: its wake would end every poll.
    if (wake_fd_ >= 0)
        ssh_event_remove_fd(event_, wake_fd_);
    wake_fd_ = -1;
    if (!ssh_channel_is_closed(channel_)) {
        ssh_channel_request_send_exit_status(channel_, 0);
        ssh_channel_send_eof(channel_);
        ssh_channel_close(channel_);
    }
    const uint64_t deadline_ms = monotonic_ms() + uint64_t(FINISH_LIMIT_MS);
    while (!(ssh_get_status(session_) & (SSH_CLOSED | SSH_CLOSED_ERROR))) {
        const uint64_t now_ms = monotonic_ms();
        if (now_ms >= deadline_ms || ssh_event_dopoll(event_, int(deadline_ms - now_ms)) == SSH_ERROR)
            break;
    }
}

void SshTransport::close()
{
    if (event_) {
        if (wake_fd_ >= 0)
            ssh_event_remove_fd(event_, wake_fd_);
        if (session_)
            ssh_event_remove_session(event_, session_);
        ssh_event_free(event_);
        event_ = nullptr;
        wake_fd_ = -1;
    }
    if (session_) {
        // Says goodbye without waiting, then lets the descriptor go.
        if (started_ && !failed_)
            ssh_disconnect(session_);
        ssh_free(session_);
        session_ = nullptr;
        channel_ = nullptr;
    }
    failed_ = true;
}

void SshTransport::declined()
{
    if (++declined_ >= AUTH_ATTEMPTS_LIMIT)
        failed_ = true;
}

int SshTransport::on_auth_none(ssh_session, const char*, void*)
{
    return SSH_AUTH_SUCCESS;
}

int SshTransport::on_auth_password(ssh_session, const char*, const char*, void*)
{
    return SSH_AUTH_SUCCESS;
}

int SshTransport::on_auth_pubkey(ssh_session, const char*, ssh_key, char, void* self)
{
    static_cast<SshTransport*>(self)->declined();
    return SSH_AUTH_DENIED;
}

ssh_channel SshTransport::on_channel_open(ssh_session session, void* self)
{
    auto* t = static_cast<SshTransport*>(self);
    // One session channel per caller.
    if (t->channel_)
        return nullptr;
    t->channel_ = ssh_channel_new(session);
    if (t->channel_)
        ssh_set_channel_callbacks(t->channel_, &t->channel_callbacks_);
    return t->channel_;
}

int SshTransport::on_message(ssh_session, ssh_message message, void* self)
{
    auto* t = static_cast<SshTransport*>(self);
    if (ssh_message_type(message) == SSH_REQUEST_AUTH) {
        if (ssh_message_subtype(message) == SSH_AUTH_METHOD_INTERACTIVE) {
            ssh_message_auth_reply_success(message, 0);
            return 0;
        }
        t->declined();
    }
    // Refused: exec, subsystems, forwarding, other authentication methods.
    return 1;
}

int SshTransport::on_pty_request(ssh_session, ssh_channel, const char* term, int, int, int, int, void* self)
{
    auto* t = static_cast<SshTransport*>(self);
    t->terminal_ = term ? term : "";
    return 0;
}

int SshTransport::on_shell_request(ssh_session, ssh_channel, void* self)
{
    auto* t = static_cast<SshTransport*>(self);
    if (t->shell_open_)
        return -1;
    if (t->charset_auto_)
        t->charset_ = charset_for_terminal(t->terminal_.empty() ? nullptr : t->terminal_.c_str());
    t->shell_open_ = true;
    return 0;
}

int SshTransport::on_window_change(ssh_session, ssh_channel, int, int, int, int, void*)
{
    return 0;
}

int SshTransport::on_env_request(ssh_session, ssh_channel, const char*, const char*, void*)
{
    return 0;
}

int SshTransport::on_wake(socket_t, int, void* self)
{
    static_cast<SshTransport*>(self)->woken_ = true;
    return 0;
}
