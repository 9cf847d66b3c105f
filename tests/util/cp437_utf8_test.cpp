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
    std::vector<uint8_t> out(board.size() * Cp437Utf8::MAX_UTF8_PER_BYTE);
    const auto* in = reinterpret_cast<const uint8_t*>(board.data());
    return std::string(out.begin(), out.begin() + Cp437Utf8::to_utf8(in, int32_t(board.size()), out.data()));
}

// typed in two reads, cut at cut, on one translator.
std::string to_cp437(const std::string& typed, size_t cut)
{
    Cp437Utf8 translator;
    std::string board;
    for (const std::string& piece : {typed.substr(0, cut), typed.substr(cut)}) {
        std::vector<uint8_t> out(piece.size() + 1);
        const auto* in = reinterpret_cast<const uint8_t*>(piece.data());
        board.append(out.begin(), out.begin() + translator.to_cp437(in, int32_t(piece.size()), out.data()));
    }
    return board;
}

TEST(Cp437Utf8, EveryGlyphBothWaysAndControlsUnchanged)
{
    const std::string board = byte_run(0x00, 0xFF);
    const std::string utf8 = byte_run(0x00, 0x1F) + CP437_GLYPHS;
    EXPECT_EQ(to_utf8(board), utf8);
    EXPECT_EQ(to_cp437(utf8, utf8.size()), board);
}

// Whatever read a sequence is cut by, the board gets the same bytes.
TEST(Cp437Utf8, TypedUtf8ReachesTheBoardWholeOrAsAQuestionMark)
{
    struct Case {
        std::string typed;
        std::string board;
    };
    const Case cases[] = {
        {"é ü ░\x7F⌂", "\x82 \x81 \xB0\x7F\x7F"}, // the delete key stays a delete
        {"\x1b[Aa\r\n", "\x1b[Aa\r\n"},
        {"€β😀", "???"},                       // no byte in the code page; ß is not β
        {"\xC3" "A\xE2\x96\xC3\xA9", "?A?\x82"}, // cut short by a plain or a lead byte
        {"\x80\xBF", "??"},                     // continuation bytes with no lead
        {"\xC0\xAF\xE0\x81\xA9", "???"},        // overlong forms
        {"\xED\xA0\x80\xF4\x90\x80\x80", "??"}, // a surrogate, past U+10FFFF
        {"\xFE\xFF", "??"},                     // bytes UTF-8 never has
    };
    for (const Case& c : cases)
        for (size_t cut = 0; cut <= c.typed.size(); ++cut)
            EXPECT_EQ(to_cp437(c.typed, cut), c.board) << c.typed << " cut at " << cut;
}

// A sequence cut off by one read and broken by the next read's first byte
// gives a byte more than that read holds: with a byte of headroom ahead of
// the read, the translation writes over it in place.
TEST(Cp437Utf8, InPlaceWithOneByteOfHeadroom)
{
    Cp437Utf8 translator;
    uint8_t first[1] = {0xE2};
    EXPECT_EQ(translator.to_cp437(first, 1, first), 0);
    uint8_t buffer[] = {0, 'A', 0xC3, 0xBC, 'B'};
    const int32_t n = translator.to_cp437(buffer + 1, 4, buffer);
    EXPECT_EQ(std::string(buffer, buffer + n), "?A\x81" "B");
}

}
