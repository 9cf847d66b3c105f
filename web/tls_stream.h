// TlsStream: one server-side TLS session over a non-blocking socket. It
// never blocks and never raises SIGPIPE; a call that cannot go on says so
// and wanted() tells what the socket must become before it is tried again.
#pragma once

#include <cstdint>

#include "port/readiness.h"
#include "port/tcp.h"

class TlsContext;
struct ssl_st;

class TlsStream {
public:
    // The session over socket_fd (which stays the caller's to close).
    TlsStream(const TlsContext& context, int socket_fd);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // 1 when the handshake is done, 0 while it goes on, -1 when it failed.
    int handshake();
    // Plain bytes read, 0 when the peer has closed, TCP_WOULD_BLOCK, or -1.
    int receive(uint8_t* buffer, int length);
    // Plain bytes taken (0 when it would block), or -1.
    int send(const uint8_t* bytes, int length);
    // PollReadable or PollWritable: what the last call that could not go on
    // waits for.
    int wanted() const { return wanted_; }
    // Decrypted bytes wait inside the session: a poll of the socket would
    // not show them, so receive before waiting.
    bool pending() const;
    // Says goodbye to the peer (once, without waiting for its answer).
    void shutdown();

private:
    enum { WaitFor, Closed, Broken };
    // What a call that returned result <= 0 means; notes what it waits for.
    int classify(int result);

    ssl_st* ssl_ = nullptr;
    int wanted_ = PollReadable;
    bool broken_ = false;
};
