// CallerListener: where callers of one transport arrive. The calls take
// what it accepts, whatever the transport.
#pragma once

#include <memory>

#include "calls/caller_transport.h"

class CallerListener {
public:
    virtual ~CallerListener() = default;
    // Readable when a caller waits to be accepted; -1 when closed.
    virtual int descriptor() const = 0;
    // True when a caller waits, never waiting.
    virtual bool caller_waiting() = 0;
    // The next caller, or null when accept failed (for example when no
    // descriptor is left).
    virtual std::unique_ptr<CallerTransport> accept() = 0;
    virtual void close() = 0;
};
