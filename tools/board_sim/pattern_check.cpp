#include "tools/board_sim/pattern_check.h"

#include <cstdio>

PatternCheck::PatternCheck(long expected) : expected_(expected) {}

std::string PatternCheck::take(const uint8_t* bytes, int count)
{
    std::string report;
    for (int i = 0; i < count && !broken_; ++i) {
        if (in_order_ == expected_) {
            // Everything after the last expected byte is a duplicate or stray.
            if (extra_++ == 0)
                report += "More than " + std::to_string(expected_) + " bytes.\r\n";
            continue;
        }
        const char want = byte_at(in_order_);
        if (static_cast<char>(bytes[i]) != want) {
            char text[80];
            std::snprintf(text, sizeof text, "Byte %ld is 0x%02X, expected 0x%02X.\r\n", in_order_ + 1,
                          bytes[i], static_cast<uint8_t>(want));
            report += text;
            broken_ = true;
            break;
        }
        if (++in_order_ == expected_)
            report += "Verified " + std::to_string(expected_) + " bytes in order.\r\n";
    }
    return report;
}

const char* PatternCheck::run_from(long offset)
{
    static const std::string block = [] {
        std::string b;
        for (long i = 0; i < RUN_BYTES + 64; ++i)
            b.push_back(byte_at(i));
        return b;
    }();
    return block.data() + offset % 64;
}
