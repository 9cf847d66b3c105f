#include <cstring>

#include "screen_fixture.h"

TEST(ColourAttribute, TranslatesLogicalPairs)
{
    EXPECT_EQ(colour_attribute(15, 1), 0x4F);
    EXPECT_EQ(colour_attribute(0, 6), 0x30);
    EXPECT_EQ(colour_attribute(8, 6), 0x38);
    EXPECT_EQ(colour_attribute(15, 4), 0x1F);
    EXPECT_EQ(colour_attribute(9, 0), 0x0C);
    EXPECT_EQ(colour_attribute(14, 0), 0x0B);
    EXPECT_EQ(colour_attribute(3, 5), 0x56);
}

using Primitives = ScreenTest;

TEST_F(Primitives, WriteTextUsesCursorAndAttribute)
{
    set_colour(15, 1);
    move_cursor(10, 3);
    write_text("abc");
    EXPECT_EQ(text_at(9, 3, 5), " abc ");
    EXPECT_TRUE(run_has_attr(10, 3, 3, 0x4F));
    EXPECT_EQ(attr_at(13, 3), 0x07);
    // The cursor moved on: the next text follows.
    write_text("d");
    EXPECT_EQ(byte_at(13, 3), 'd');
}

TEST_F(Primitives, TextPastTheLastColumnOverwritesIt)
{
    move_cursor(77, 5);
    write_text("WXYZ!");
    EXPECT_EQ(text_at(77, 5, 3), "WX!");
    EXPECT_EQ(byte_at(0, 6), ' ');
}

TEST_F(Primitives, FullRowFillsExactlyAndLeavesOthers)
{
    std::string row(80, 'r');
    row[0] = 'a';
    row[79] = 'z';
    move_cursor(0, 12);
    write_text(row.c_str());
    EXPECT_EQ(text_at(0, 12, 80), row);
    EXPECT_EQ(count_of_byte(0, 11, 80, ' '), 80);
    EXPECT_EQ(count_of_byte(0, 13, 80, ' '), 80);
}

TEST_F(Primitives, PrintTextKeepsAtMost63Characters)
{
    move_cursor(0, 0);
    print_text("%s%s", std::string(40, 'x').c_str(), std::string(40, 'y').c_str());
    EXPECT_EQ(text_at(0, 0, 63), std::string(40, 'x') + std::string(23, 'y'));
    EXPECT_EQ(byte_at(63, 0), ' ');
}

TEST_F(Primitives, HighBytesAreStoredAsTheyAre)
{
    move_cursor(0, 0);
    write_text("\x01\x16\x18\xdb\x1b");
    EXPECT_EQ(byte_at(0, 0), 0x01);
    EXPECT_EQ(byte_at(3, 0), 0xDB);
    EXPECT_EQ(byte_at(4, 0), 0x1B);
}

TEST_F(Primitives, NothingIsDrawnWithoutACurrentBuffer)
{
    console_screen.current = nullptr;
    set_colour(15, 1);
    move_cursor(0, 0);
    write_text("lost");
    EXPECT_EQ(console_screen.buffer_a.at(0, 0).byte, ' ');
    EXPECT_EQ(console_screen.buffer_b.at(0, 0).byte, ' ');
    // Shutdown without a start is harmless.
    console_shutdown();
    console_shutdown();
    EXPECT_EQ(console_screen.current, nullptr);
}
