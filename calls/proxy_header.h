// The PROXY protocol header (versions 1 and 2) that a trusted load balancer
// puts before a connection's own bytes, naming the caller it came from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "port/tcp.h"

struct ProxyHeader {
    // Proxied: source is the caller. Local: the balancer's own connection
    // (a health check), or one whose caller it does not know.
    enum class Kind { Proxied, Local };
    Kind kind = Kind::Local;
    TcpAddress source;
    // Bytes the header took at the start of the stream.
    size_t length = 0;
};

enum class ProxyParse { NeedMore, Done, Invalid };

// Reads a header from the first count bytes a connection sent. NeedMore
// while they are a valid beginning of one; Invalid (with why) once they
// cannot be. Never reads past count.
ProxyParse parse_proxy_header(const uint8_t* bytes, size_t count, ProxyHeader& header, std::string& why);

// The longest header taken: a version 1 line is at most 107 bytes; version 2
// allows more, but a balancer's addresses and a few extensions fit well
// within this.
constexpr size_t PROXY_HEADER_MAX = 1024;
