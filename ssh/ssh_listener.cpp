#include "ssh/ssh_listener.h"

#include <cstdio>

#include "ssh/ssh_algorithms.h"
#include "ssh/ssh_host_key.h"
#include "ssh/ssh_settings.h"
#include "ssh/ssh_transport.h"

namespace {
constexpr int LISTEN_BACKLOG = 1024;
}

SshListener::~SshListener()
{
    close();
}

int SshListener::open(const SshSettings& settings, const SshHostKey& key)
{
    charset_auto_ = settings.charset_auto;
    charset_ = settings.charset;
    bind_ = ssh_bind_new();
    ssh_key copy = key.copy();
    bool ok = bind_ && copy;
    if (ok) {
        // The host's own configuration files change nothing here.
        const bool no = false;
        ssh_bind_options_set(bind_, SSH_BIND_OPTIONS_PROCESS_CONFIG, &no);
        // Taken over by the bind.
        ok = ssh_bind_options_set(bind_, SSH_BIND_OPTIONS_IMPORT_KEY, copy) == SSH_OK;
        if (!ok)
            ssh_key_free(copy);
    } else {
        ssh_key_free(copy);
    }
    if (ok && settings.legacy) {
        const SshAlgorithms& a = SSH_LEGACY_ALGORITHMS;
        ok = ssh_bind_options_set(bind_, SSH_BIND_OPTIONS_KEY_EXCHANGE, a.key_exchanges) == SSH_OK &&
             ssh_bind_options_set(bind_, SSH_BIND_OPTIONS_CIPHERS_C_S, a.ciphers) == SSH_OK &&
             ssh_bind_options_set(bind_, SSH_BIND_OPTIONS_CIPHERS_S_C, a.ciphers) == SSH_OK &&
             ssh_bind_options_set(bind_, SSH_BIND_OPTIONS_HMAC_C_S, a.macs) == SSH_OK &&
             ssh_bind_options_set(bind_, SSH_BIND_OPTIONS_HMAC_S_C, a.macs) == SSH_OK;
    }
    if (!ok) {
        std::printf("SSH server init failed: %s\n", bind_ ? ssh_get_error(bind_) : "out of memory");
        close();
        return -1;
    }
    socket_ = std::make_unique<TcpSocket>();
    if (socket_->open(settings.ip.empty() ? nullptr : settings.ip.c_str(), settings.port) != 0) {
        std::printf("SSH server socket init failed\n");
        close();
        return -1;
    }
    if (socket_->listen(LISTEN_BACKLOG) != 0) {
        std::printf("SSH server socket listen failed\n");
        close();
        return -1;
    }
    return 0;
}

bool SshListener::caller_waiting()
{
    return socket_ && (socket_->poll() & PollReadable) != 0;
}

std::unique_ptr<CallerTransport> SshListener::accept()
{
    std::unique_ptr<TcpSocket> connection = socket_ ? socket_->accept() : nullptr;
    if (!connection)
        return nullptr;
    return std::make_unique<SshTransport>(bind_, std::move(connection), charset_auto_, charset_);
}

void SshListener::close()
{
    if (socket_) {
        socket_->close();
        socket_.reset();
    }
    if (bind_) {
        ssh_bind_free(bind_);
        bind_ = nullptr;
    }
}
