// The one-line notices of the IPX stack and the relay (joined, waiting,
// a node came or went), handed to a sink their owner chooses.
#pragma once

using IpxNoticeSink = void (*)(const char* line);

// The default sink: the line on standard output, flushed at once.
void print_ipx_notice(const char* line);
// Formats one line (cut at 255 characters) and hands it to sink.
void send_ipx_notice(IpxNoticeSink sink, const char* format, ...) __attribute__((format(printf, 2, 3)));
