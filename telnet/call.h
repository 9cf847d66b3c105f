// Call: one caller joined to one circuit of a board host.
#pragma once

#include <cstdint>
#include <memory>

#include "link/board_link.h"
#include "telnet/caller_session.h"
#include "port/call_signal.h"

struct Call {
    std::unique_ptr<CallerSession> session;
    // None when the caller was refused because no board host was known.
    std::unique_ptr<BoardLink> link;
    // Counted against this address by the access policy until the caller
    // is disconnected (released) or the call removed.
    TcpAddress caller;
    bool released = false;
    // Raised by the session, the link and the name lookup when the call
    // wants a pass.
    std::shared_ptr<CallSignal> signal;
};
