// CallerTransport: how a caller's bytes travel, as a caller session sees
// it: a byte stream with its peer's address, the transport's own commands
// taken out of what the caller sends, board bytes encoded on their way to
// the caller, and the character set the caller's terminal takes. Telnet is
// one; the session, the calls and the board link never see which.
#pragma once

#include <cstdint>

#include "port/tcp.h"
#include "util/byte_queue.h"
#include "util/charset.h"

class CallerTransport {
public:
    virtual ~CallerTransport() = default;

    // The caller's address.
    virtual const TcpAddress& peer() const = 0;
    // Waits up to timeout_ms (-1: no limit) for the asked readiness or an
    // error, or until wake_fd is readable; the readiness bits (PollReadable,
    // PollWritable, PollError, PollWoken).
    virtual int wait(bool readable, bool writable, int timeout_ms, int wake_fd) = 0;
    // Bytes as they came, 0 when the caller has closed, TCP_WOULD_BLOCK,
    // or -1.
    virtual int receive(uint8_t* buffer, int size) = 0;
    // Bytes sent (0 when it would block), or -1.
    virtual int send(const uint8_t* bytes, int count) = 0;
    virtual void close() = 0;
    // Called on the I/O thread once the last output has been handed over,
    // before close: a transport with a goodbye of its own says it here,
    // waiting a bounded time at most.
    virtual void finish() {}

    // What opens every session, ahead of the greeting.
    virtual void opening(ByteQueue& out) = 0;
    // Takes the transport's own commands out of bytes[0..count), in place,
    // carrying a command cut off at the end over to the next call; the
    // caller's data bytes left.
    virtual int32_t decode(uint8_t* bytes, int32_t count) = 0;
    // The size of board bytes once encoded for the caller; the encoding
    // appended to out, false (nothing appended) when no room can be made.
    virtual int32_t encoded_size(const uint8_t* bytes, int32_t count) = 0;
    virtual bool encode(const uint8_t* bytes, int32_t count, ByteQueue& out) = 0;
    // Bytes that every client ignores, sent to see whether a caller whose
    // input is held back is still there; appended to out.
    virtual void keepalive(ByteQueue& out) = 0;
    // What the caller's terminal takes: the board's bytes as they are, or
    // translated to UTF-8 (and the caller's UTF-8 back) by the session.
    // Meaningful once ready: until the caller's terminal is known, the
    // session holds the board's bytes back.
    virtual Charset charset() const { return Charset::Cp437; }
    // True once the caller can take bytes and its character set is known;
    // asked by the thread that drives the transport's I/O.
    virtual bool ready() const { return true; }
    // Whether the caller came by SSH, for the figures.
    virtual bool by_ssh() const { return false; }
    // Whether the caller came from a web page, for the figures.
    virtual bool by_web() const { return false; }
};
