// Cp437Utf8: the board's code page 437 and a caller's UTF-8, both ways.
// Bytes from 0x20 up are glyphs (ASCII to 0x7E, a house for 0x7F, the
// code page's letters, symbols and box drawing from 0x80); bytes below 0x20
// are the terminal stream's controls and pass both ways unchanged, so line
// ends, backspace, bell and escape sequences keep working.
#pragma once

#include <cstdint>

class Cp437Utf8 {
public:
    // The most UTF-8 bytes one board byte becomes.
    static constexpr int32_t MAX_UTF8_PER_BYTE = 3;
    // Sent to the board for a character it has no byte for.
    static constexpr uint8_t UNKNOWN = '?';

    // The code point byte b shows; below 0x20 the byte's own value.
    static char32_t glyph(uint8_t b);
    // The byte showing code point c (c itself below 0x80); UNKNOWN when
    // code page 437 has none.
    static uint8_t byte_for(char32_t c);

    // Board bytes in[0..count) as UTF-8 at out, which has room for
    // MAX_UTF8_PER_BYTE * count bytes; returns the bytes written. Each
    // byte stands alone, so this keeps no state.
    static int32_t to_utf8(const uint8_t* in, int32_t count, uint8_t* out);

    // The caller's UTF-8 in[0..count) as code page 437 at out, which has
    // room for count + 1 bytes; returns the bytes written. A sequence cut
    // off at the end is finished by the next call; a malformed one, and a
    // character without a byte, become UNKNOWN. The one byte more is a
    // sequence cut off by the last call and broken by this one's first
    // byte: out may start one byte ahead of in (out == in - 1), so a
    // buffer with a byte of headroom converts in place.
    int32_t to_cp437(const uint8_t* in, int32_t count, uint8_t* out);

private:
    // The sequence under way: its code point so far, continuation bytes
    // still due, and the least code point its length may carry (less is an
    // overlong form).
    char32_t code_ = 0;
    uint8_t due_ = 0;
    char32_t least_ = 0;
};
