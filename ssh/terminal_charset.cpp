#include "ssh/terminal_charset.h"

#include <strings.h>

namespace {
// Terminal types of programs that show code page 437 as it is.
constexpr const char* CP437_TERMINALS[] = {"ansi", "ansi-bbs", "pcansi", "syncterm", "ansi.sys"};
}

Charset charset_for_terminal(const char* terminal_type)
{
    if (!terminal_type)
        return Charset::Utf8;
    for (const char* name : CP437_TERMINALS)
        if (strcasecmp(terminal_type, name) == 0)
            return Charset::Cp437;
    return Charset::Utf8;
}
