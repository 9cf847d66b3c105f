#include "ssh/ssh_listener.h"

#include <cstdio>

#include "ssh/ssh_algorithms.h"
#include "ssh/ssh_host_key.h"
#include "ssh/ssh_settings.h"
#include "ssh/ssh_transport.h"

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
    if (listen_on(settings.ip.empty() ? nullptr : settings.ip.c_str(), settings.port, "SSH server") != 0) {
        close();
        return -1;
    }
    return 0;
}

std::unique_ptr<CallerTransport> SshListener::accept()
{
    std::unique_ptr<TcpSocket> connection = accept_connection();
    if (!connection)
        return nullptr;
    return std::make_unique<SshTransport>(bind_, std::move(connection), charset_auto_, charset_);
}

void SshListener::close()
{
    TcpCallerListener::close();
    if (bind_) {
        ssh_bind_free(bind_);
        bind_ = nullptr;
    }
}
