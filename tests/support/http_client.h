// A one-request HTTP client on loopback for tests of the status server.
#pragma once

#include <chrono>
#include <string>

namespace support {

struct HttpReply {
    int status = 0;  // 0 when no whole reply came
    std::string headers;
    std::string body;
};

// GET path from 127.0.0.1:port over a connection of its own, read until the
// server closes it or the deadline passes.
HttpReply http_get(int port, const std::string& path, std::chrono::milliseconds timeout = std::chrono::seconds(10));

}
