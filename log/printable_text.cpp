#include "log/printable_text.h"

std::string printable_text(const char* text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p >= 0x20 && *p < 0x7F && *p != '\\') {
            out += char(*p);
        } else {
            const char escape[] = {'\\', 'x', hex[*p >> 4], hex[*p & 15]};
            out.append(escape, sizeof escape);
        }
    }
    return out;
}
