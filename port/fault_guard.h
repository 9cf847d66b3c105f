// The last-resort path for a fault on the main thread: SIGSEGV, SIGBUS,
// SIGFPE and SIGILL raised there write the exception banner to the log and
// end the process with status 255.
#pragma once

#include <cstddef>

// Arms the path for the calling (main) thread. log_descriptor is the open
// log file (-1: none), echo_descriptor the echo stream's (-1: none). Takes
// the local zone's offsets from now on for the banner's timestamps.
void arm_fault_guard(int log_descriptor, int echo_descriptor);
void disarm_fault_guard();

// Writes the three banner lines to the log with write(2); async-signal-safe.
void write_exception_banner();

// "Mon DD HH:MM:SS " for the given second in local time, from the offsets
// taken when armed; async-signal-safe. Returns the length (16).
size_t fault_stamp(long long moment, char* out);

// A function the fault path runs before it ends the process (the terminal
// restore); it must be async-signal-safe.
void set_fault_cleanup(void (*cleanup)());
