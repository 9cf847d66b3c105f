#include "tests/support/http_client.h"

#include <cstdlib>

#include "tests/support/loopback_caller.h"

namespace support {

HttpReply http_get(int port, const std::string& path, std::chrono::milliseconds timeout)
{
    HttpReply reply;
    LoopbackCaller client(port);
    if (!client.connected())
        return reply;
    client.send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    bool closed = false;
    std::string text = client.receive_until_closed(closed, timeout);
    size_t end = text.find("\r\n\r\n");
    if (!closed || end == std::string::npos || text.compare(0, 9, "HTTP/1.1 ") != 0)
        return reply;
    reply.status = std::atoi(text.c_str() + 9);
    reply.headers = text.substr(0, end + 2);
    reply.body = text.substr(end + 4);
    return reply;
}

}
