#include "telnet/telnet_listener.h"

#include "telnet/telnet_transport.h"

int TelnetListener::open(const char* address, int port, Charset charset)
{
    charset_ = charset;
    return listen_on(address, port, "Server");
}

std::unique_ptr<CallerTransport> TelnetListener::accept()
{
    std::unique_ptr<TcpSocket> connection = accept_connection();
    if (!connection)
        return nullptr;
    return std::make_unique<TelnetTransport>(std::move(connection), charset_);
}
