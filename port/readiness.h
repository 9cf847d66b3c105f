// Readiness bits: what every zero-time-out socket poll reports, TCP and IPX
// alike.
#pragma once

constexpr int PollReadable = 1;
constexpr int PollWritable = 2;
constexpr int PollError = 4;
// A wait that also watched a wake descriptor saw it signalled.
constexpr int PollWoken = 8;
