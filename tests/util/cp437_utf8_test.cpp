#include "util/cp437_utf8.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "tests/support/cp437_glyphs.h"

namespace {

using support::byte_run;
using support::CP437_GLYPHS;

std::string to_utf8(const std::string& board)
{
    std::vector<uint8_t> out(board.size() * Cp437Utf8::MAX_UTF8_PER_BYTE + 1);
    const int32_t n = Cp437Utf8::to_utf8(reinterpret_cast<const uint8_t*>(board.data()), int32_t(board.size()),
                                         out.data());
    return std::string(out.begin(), out.begin() + n);
}

// Each piece in its own call on one translator.
std::string to_cp437(const std::vector<std::string>& pieces)
{
    Cp437Utf8 translator;
    std::string board;
    for (const std::string& piece : pieces) {
        std::vector<uint8_t> out(piece.size() + 1);
        const int32_t n = translator.to_cp437(reinterpret_cast<const uint8_t*>(piece.data()), int32_t(piece.size()),
                                              out.data());
        board.append(out.begin(), out.begin() + n);
    }
    return board;
}

TEST(Cp437Utf8, EveryGlyphByteBecomesItsUtf8AndComesBackTheSame)
{
    const std::string board = byte_run(0x20, 0xFF);
    EXPECT_EQ(to_utf8(board), CP437_GLYPHS);
    EXPECT_EQ(to_cp437({CP437_GLYPHS}), board);
    // One byte at a time gives the same: nothing depends on a neighbour.
    std::string one_by_one;
    for (char b : board)
        one_by_one += to_utf8(std::string(1, b));
    EXPECT_EQ(one_by_one, CP437_GLYPHS);
}

TEST(Cp437Utf8, ControlsPassBothWaysUnchanged)
{
    const std::string controls = byte_run(0x00, 0x1F);
    EXPECT_EQ(to_utf8(controls), controls);
    EXPECT_EQ(to_cp437({controls}), controls);
    // An escape sequence amid glyphs keeps its bytes.
    EXPECT_EQ(to_utf8("\x1b[1;37m\xC9\xCD\xBB\r\n\b\a"), "\x1b[1;37m╔═╗\r\n\b\a");
}

TEST(Cp437Utf8, TypedCharactersReachTheBoardAsTheirBytes)
{
    EXPECT_EQ(to_cp437({"é ü ░ █ ß · ⌂"}), "\x82 \x81 \xB0 \xDB \xE1 \xFA \x7F");
    // The delete key stays a delete.
    EXPECT_EQ(to_cp437({"a\x7F"}), "a\x7F");
}

TEST(Cp437Utf8, SequenceSplitAnywhereDecodesWhole)
{
    // Two-, three- and four-byte forms (the last has no byte).
    const std::string typed = "aé░€😀z";
    const std::string board = "a\x82\xB0??z";
    ASSERT_EQ(to_cp437({typed}), board);
    for (size_t cut = 1; cut < typed.size(); ++cut)
        EXPECT_EQ(to_cp437({typed.substr(0, cut), typed.substr(cut)}), board) << "cut at " << cut;
    std::vector<std::string> bytes;
    for (char b : typed)
        bytes.emplace_back(1, b);
    EXPECT_EQ(to_cp437(bytes), board);
}

TEST(Cp437Utf8, WhatHasNoByteOrIsMalformedBecomesAQuestionMark)
{
    struct Case {
        std::vector<std::string> typed;
        std::string board;
    };
    const Case cases[] = {
        {{"€"}, "?"},                 // no form in the code page
        {{"\xCE\xB2"}, "?"},          // Greek beta: the code page has ß only
        {{"\xC3" "A"}, "?A"},         // cut short by a plain byte
        {{"\xC3", "A"}, "?A"},        // the same across two reads
        {{"\xE2\x96" "\xC3\xA9"}, "?\x82"}, // cut short by the next lead byte
        {{"\x80\xBF"}, "??"},         // continuation bytes with no lead
        {{"\xC0\xAF"}, "??"},         // overlong '/': C0 is never UTF-8
        {{"\xE0\x81\xA9"}, "?"},      // overlong 'é'
        {{"\xED\xA0\x80"}, "?"},      // a surrogate
        {{"\xF4\x90\x80\x80"}, "?"},  // past U+10FFFF
        {{"\xFE\xFF"}, "??"},         // bytes UTF-8 never has
    };
    for (const Case& c : cases)
        EXPECT_EQ(to_cp437(c.typed), c.board) << c.typed[0];
}

// A sequence cut off by one read and broken by the next read's first byte
// gives a byte more than that read holds: with a byte of headroom ahead of
// the read, the translation writes over it in place.
TEST(Cp437Utf8, InPlaceWithOneByteOfHeadroom)
{
    Cp437Utf8 translator;
    uint8_t first[1] = {0xE2};
    uint8_t out[1];
    EXPECT_EQ(translator.to_cp437(first, 1, out), 0);
    uint8_t buffer[] = {0, 'A', 0xC3, 0xBC, 'B'};
    const int32_t n = translator.to_cp437(buffer + 1, 4, buffer);
    EXPECT_EQ(std::string(buffer, buffer + n), "?A\x81" "B");
}

}
