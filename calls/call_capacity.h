// How many calls at once the process's limits can carry, and the MaxCalls
// in force once they are weighed.
#pragma once

#include <string>

#include "port/process_limits.h"

// What one call holds: its Telnet socket and its session's wake descriptor;
// its I/O thread and its board link's thread, and the link's thread again
// after the call, while it goes on ending the circuit.
constexpr int DESCRIPTORS_PER_CALL = 2;
constexpr int THREADS_PER_CALL = 3;
// What the process holds besides its calls: the listener, the log, the IPX
// socket, the status server, name lookups, the SAP and signal threads.
constexpr int RESERVED_DESCRIPTORS = 128;
constexpr int RESERVED_THREADS = 96;

// configured lowered to what limits can carry, never below 1; 0 (no limit)
// stays 0. When it was lowered, why says so and names the limit that
// decided ("Access MaxCalls lowered from 256 to 192: 512 descriptors
// allowed"); otherwise why is empty.
int fit_max_calls(int configured, const ProcessLimits& limits, std::string& why);
