#include "tests/support/ssh_caller_link.h"

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace support {

SshCallerLink::~SshCallerLink()
{
    if (channel_)
        ssh_channel_free(channel_);
    if (session_) {
        ssh_disconnect(session_);
        ssh_free(session_);
    }
}

bool SshCallerLink::open(int fd, const char* terminal, std::string& error)
{
    session_ = ssh_new();
    if (!session_) {
        ::close(fd);
        error = "ssh_new failed";
        return false;
    }
    // The handshake blocks; the channel is driven without blocking after.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const bool no = false;
    socket_t socket = fd;
    ssh_options_set(session_, SSH_OPTIONS_PROCESS_CONFIG, &no);
    ssh_options_set(session_, SSH_OPTIONS_FD, &socket);
    ssh_options_set(session_, SSH_OPTIONS_HOST, "127.0.0.1");
    ssh_options_set(session_, SSH_OPTIONS_USER, "bench");
    bool ok = ssh_connect(session_) == SSH_OK && ssh_userauth_none(session_, nullptr) == SSH_AUTH_SUCCESS;
    if (ok) {
        channel_ = ssh_channel_new(session_);
        ok = channel_ && ssh_channel_open_session(channel_) == SSH_OK &&
             ssh_channel_request_pty_size(channel_, terminal, 80, 25) == SSH_OK &&
             ssh_channel_request_shell(channel_) == SSH_OK;
    }
    if (!ok) {
        error = std::string("SSH setup failed: ") + ssh_get_error(session_);
        return false;
    }
    ssh_set_blocking(session_, 0);
    return true;
}

int SshCallerLink::receive(uint8_t* buffer, int size)
{
    read_due_ = false;
    const int n = ssh_channel_read_nonblocking(channel_, buffer, uint32_t(size), 0);
    if (n > 0)
        return n;
    if (n == SSH_ERROR || ssh_channel_is_eof(channel_) || ssh_channel_is_closed(channel_))
        return 0;
    return -1;
}

int SshCallerLink::send(const uint8_t* bytes, int count)
{
    read_due_ = true;
    const uint32_t window = ssh_channel_window_size(channel_);
    if (window == 0) {
        // Reading takes in the server's window adjustments.
        return 0;
    }
    const int n = ssh_channel_write(channel_, bytes, std::min<uint32_t>(uint32_t(count), window));
    return n < 0 ? -1 : n;
}

void SshCallerLink::close_channel()
{
    ssh_channel_close(channel_);
    ssh_blocking_flush(session_, 5000);
}

}
