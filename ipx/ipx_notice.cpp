// The IPX layer's notices.
#include "ipx/ipx_notice.h"

#include <cstdarg>
#include <cstdio>

void print_ipx_notice(const char* line)
{
    std::printf("%s\n", line);
    std::fflush(stdout);
}

void send_ipx_notice(IpxNoticeSink sink, const char* format, ...)
{
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    sink(line);
}
