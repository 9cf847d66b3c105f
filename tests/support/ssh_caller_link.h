// A test or benchmark caller's SSH connection, on a socket already connected:
// the handshake with no key check and the "none" login, a session channel
// with a terminal and a shell, then the channel's bytes without blocking.
#pragma once

#include <cstdint>
#include <string>

#include <libssh/libssh.h>

namespace support {

class SshCallerLink {
public:
    SshCallerLink() = default;
    ~SshCallerLink();
    SshCallerLink(const SshCallerLink&) = delete;
    SshCallerLink& operator=(const SshCallerLink&) = delete;

    // Takes fd (connected, either mode) and blocks until the shell is open
    // or fails; the link owns fd from here on either way. terminal: the
    // type the pty request names.
    bool open(int fd, const char* terminal, std::string& error);
    // Bytes read, 0 when the server has closed the channel, -1 when none
    // are there now.
    int receive(uint8_t* buffer, int size);
    // Bytes taken (0 when the channel's window is shut), or -1.
    int send(const uint8_t* bytes, int count);
    // True after a send: the library may have read what the socket held
    // while it sent, so a poll on the socket would miss it.
    bool read_due() const { return read_due_; }
    // Closes the channel as a hang-up does, and keeps the connection open.
    void close_channel();

private:
    ssh_session session_ = nullptr;
    ssh_channel channel_ = nullptr;
    bool read_due_ = false;
};

}
