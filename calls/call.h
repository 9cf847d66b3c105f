// Call: one caller joined to one circuit of a board host.
#pragma once

#include <cstdint>
#include <memory>

#include "calls/caller_session.h"
#include "link/board_link.h"
#include "port/call_signal.h"

struct Call {
    // None when the caller was refused because no board host was known.
    // Declared first, so that it outlives the session that hands it bytes.
    std::unique_ptr<BoardLink> link;
    std::unique_ptr<CallerSession> session;
    // Counted against this address by the access policy until the caller
    // is disconnected (released) or the call removed.
    TcpAddress caller;
    bool released = false;
    // The caller's transport is still being set up: the board link waits.
    bool awaiting_transport = false;
    // The caller has not pressed ESC twice yet: it has no number and no
    // board line.
    bool awaiting_gate = false;
    // Raised by the session, the link and the name lookup when the call
    // wants a pass.
    std::shared_ptr<CallSignal> signal;
};
