// TCP sockets on the loopback network, for the tests and the benchmark:
// connections to 127.0.0.1 and listeners on a free port there.
#pragma once

namespace support {

struct DialOptions {
    const char* from = nullptr;  // a local address such as 127.0.0.2; the system's choice when null
    bool wait = false;           // connect before returning, and leave the socket blocking
    int receive_buffer = 0;      // > 0 sets SO_RCVBUF before connecting
};

// A TCP connection to 127.0.0.1:port, or -1. Unless how.wait, the socket is
// non-blocking and the connection may still be under way: it is made once
// the socket polls writable without an error.
int dial_loopback(int port, const DialOptions& how = {});

// A socket listening on 127.0.0.1 at a port the system chooses, given in
// port; -1 when none can be had.
int listen_loopback(int backlog, int& port, bool nonblocking = false);

// The local port a socket is bound to; 0 when it has none.
int local_port(int fd);

}
