#include "log/printable_text.h"

#include <gtest/gtest.h>

TEST(PrintableText, ControlBytesHighBytesAndBackslashAreEscaped)
{
    EXPECT_EQ(printable_text("KELB 2"), "KELB 2");
    EXPECT_EQ(printable_text("a\nb\r\x1b[2J\x7f"), "a\\x0Ab\\x0D\\x1B[2J\\x7F");
    EXPECT_EQ(printable_text("\x9b\xff"), "\\x9B\\xFF");
    // A literal "\x0A" cannot pass for an escaped line feed.
    EXPECT_EQ(printable_text("\\x0A"), "\\x5Cx0A");
    EXPECT_EQ(printable_text(""), "");
}
