// Charset: what a caller's terminal takes, as its transport knows it: the
// board's own code page 437 bytes, or UTF-8.
#pragma once

#include <cstdint>
#include <strings.h>

enum class Charset : uint8_t { Cp437, Utf8 };

// "CP437" or "UTF-8", in any case; false, out untouched, for anything else.
inline bool charset_from_name(const char* name, Charset& out)
{
    if (strcasecmp(name, "CP437") == 0)
        out = Charset::Cp437;
    else if (strcasecmp(name, "UTF-8") == 0)
        out = Charset::Utf8;
    else
        return false;
    return true;
}
