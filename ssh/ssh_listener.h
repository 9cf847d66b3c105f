// SshListener: a TCP port SSH callers arrive on, with the host key and the
// algorithms their connections are set up with. Accepting takes the TCP
// connection only; everything SSH happens on the caller's I/O thread.
#pragma once

#include <libssh/server.h>
#include <memory>

#include "calls/tcp_caller_listener.h"

class SshHostKey;
struct SshSettings;

class SshListener : public TcpCallerListener {
public:
    SshListener() = default;
    ~SshListener() override;
    SshListener(const SshListener&) = delete;
    SshListener& operator=(const SshListener&) = delete;

    // Listens as settings say, proving itself with key. 0, or -1 after
    // printing why.
    int open(const SshSettings& settings, const SshHostKey& key);

    std::unique_ptr<CallerTransport> accept() override;
    void close() override;

private:
    ssh_bind bind_ = nullptr;
    bool charset_auto_ = true;
    Charset charset_ = Charset::Utf8;
};
