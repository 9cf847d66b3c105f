// Call: one caller joined to one circuit of a board host.
#pragma once

#include <cstdint>
#include <memory>

#include "telnet/caller_session.h"

struct Call {
    int32_t close_attempts = 0;
    std::unique_ptr<CallerSession> session;
};
