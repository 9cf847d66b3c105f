// The PROXY protocol header (versions 1 and 2) that a trusted load balancer
// puts before a connection's own bytes, naming the caller it came from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "port/tcp.h"

class TcpSocket;

struct ProxyHeader {
    // Proxied: source is the caller. Local: the balancer's own connection
    // (a health check), or one whose caller it does not know.
    enum class Kind { Proxied, Local };
    Kind kind = Kind::Local;
    TcpAddress source;
    // Bytes the header took at the start of the stream.
    size_t length = 0;
};

// NotProxy: the bytes do not begin a header at all (with why), as the
// first bytes of a caller or a browser; Invalid: they began one that went
// wrong.
enum class ProxyParse { NeedMore, Done, Invalid, NotProxy };

// Reads a header from the first count bytes a connection sent. NeedMore
// while they are a valid beginning of one. Never reads past count.
ProxyParse parse_proxy_header(const uint8_t* bytes, size_t count, ProxyHeader& header, std::string& why);

// Reads a header from a non-blocking connection without taking a byte past
// it: what has come is looked at where it lies, and the header alone is
// taken once whole, so what follows stays for whoever reads the connection
// next. NeedMore when it is not whole yet (the socket's next readiness
// says more came). A connection closed before its first byte is taken as
// LOCAL; one that failed is Invalid.
ProxyParse take_proxy_header(TcpSocket& connection, ProxyHeader& header, std::string& why);

// Warns of trusted connections closed for want of a usable header (a
// balancer without the PROXY protocol set, most likely): at most one line a
// second, with a count of those not told. One thread's own.
class ProxyHeaderWarnings {
public:
    void closed(const TcpAddress& from, const std::string& why);

private:
    uint64_t last_ms_ = 0;
    bool told_ = false;
    int untold_ = 0;
};

// The longest header taken: a version 1 line is at most 107 bytes; version 2
// allows more, but a balancer's addresses and a few extensions fit well
// within this.
constexpr size_t PROXY_HEADER_MAX = 1024;
