#include "util/cp437_utf8.h"

#include <algorithm>
#include <array>

namespace {

// The glyphs of 0x80 to 0xFF, in byte order.
constexpr char16_t HIGH_GLYPHS[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, // 80 Ç ü é â ä à å ç
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, // 88 ê ë è ï î ì Ä Å
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, // 90 É æ Æ ô ö ò û ù
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, // 98 ÿ Ö Ü ¢ £ ¥ ₧ ƒ
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, // A0 á í ó ú ñ Ñ ª º
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, // A8 ¿ ⌐ ¬ ½ ¼ ¡ « »
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, // B0 ░ ▒ ▓ │ ┤ ╡ ╢ ╖
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, // B8 ╕ ╣ ║ ╗ ╝ ╜ ╛ ┐
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, // C0 └ ┴ ┬ ├ ─ ┼ ╞ ╟
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, // C8 ╚ ╔ ╩ ╦ ╠ ═ ╬ ╧
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, // D0 ╨ ╤ ╥ ╙ ╘ ╒ ╓ ╫
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, // D8 ╪ ┘ ┌ █ ▄ ▌ ▐ ▀
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, // E0 α ß Γ π Σ σ µ τ
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, // E8 Φ Θ Ω δ ∞ φ ε ∩
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, // F0 ≡ ± ≥ ≤ ⌠ ⌡ ÷ ≈
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0, // F8 ° ∙ · √ ⁿ ² ■ no-break space
};

constexpr char32_t HOUSE = 0x2302; // the glyph of 0x7F

// Each byte's UTF-8, worked out once.
struct Utf8Form {
    uint8_t size;
    uint8_t bytes[Cp437Utf8::MAX_UTF8_PER_BYTE];
};

std::array<Utf8Form, 256> make_utf8_forms()
{
    std::array<Utf8Form, 256> forms{};
    for (int b = 0; b < 256; ++b) {
        const char32_t c = Cp437Utf8::glyph(uint8_t(b));
        Utf8Form& f = forms[size_t(b)];
        if (c < 0x80) {
            f = {1, {uint8_t(c)}};
        } else if (c < 0x800) {
            f = {2, {uint8_t(0xC0 | (c >> 6)), uint8_t(0x80 | (c & 0x3F))}};
        } else {
            f = {3, {uint8_t(0xE0 | (c >> 12)), uint8_t(0x80 | ((c >> 6) & 0x3F)), uint8_t(0x80 | (c & 0x3F))}};
        }
    }
    return forms;
}

const std::array<Utf8Form, 256>& utf8_forms()
{
    static const std::array<Utf8Form, 256> forms = make_utf8_forms();
    return forms;
}

// Code point and byte of every glyph above ASCII, by code point.
struct GlyphByte {
    char32_t code;
    uint8_t byte;
};

std::array<GlyphByte, 129> make_glyph_bytes()
{
    std::array<GlyphByte, 129> table{};
    for (int i = 0; i < 128; ++i)
        table[size_t(i)] = {HIGH_GLYPHS[i], uint8_t(0x80 + i)};
    table[128] = {HOUSE, 0x7F};
    std::sort(table.begin(), table.end(), [](const GlyphByte& a, const GlyphByte& b) { return a.code < b.code; });
    return table;
}

}

char32_t Cp437Utf8::glyph(uint8_t b)
{
    if (b >= 0x80)
        return HIGH_GLYPHS[b - 0x80];
    return b == 0x7F ? HOUSE : b;
}

uint8_t Cp437Utf8::byte_for(char32_t c)
{
    if (c < 0x80)
        return uint8_t(c);
    static const std::array<GlyphByte, 129> table = make_glyph_bytes();
    const auto by_code = [](const GlyphByte& g, char32_t code) { return g.code < code; };
    const auto at = std::lower_bound(table.begin(), table.end(), c, by_code);
    return at != table.end() && at->code == c ? at->byte : UNKNOWN;
}

int32_t Cp437Utf8::to_utf8(const uint8_t* in, int32_t count, uint8_t* out)
{
    const std::array<Utf8Form, 256>& forms = utf8_forms();
    int32_t written = 0;
    for (int32_t i = 0; i < count; ++i) {
        const Utf8Form& f = forms[in[i]];
        out[written] = f.bytes[0];
        if (f.size > 1) {
            out[written + 1] = f.bytes[1];
            if (f.size > 2)
                out[written + 2] = f.bytes[2];
        }
        written += f.size;
    }
    return written;
}

int32_t Cp437Utf8::to_cp437(const uint8_t* in, int32_t count, uint8_t* out)
{
    int32_t written = 0;
    for (int32_t i = 0; i < count; ++i) {
        // Read before anything is written: out may run one byte ahead.
        const uint8_t b = in[i];
        if (due_ > 0) {
            if ((b & 0xC0) == 0x80) {
                code_ = (code_ << 6) | (b & 0x3F);
                if (--due_ == 0) {
                    const bool sound = code_ >= least_ && code_ <= 0x10FFFF && (code_ < 0xD800 || code_ > 0xDFFF);
                    out[written++] = sound ? byte_for(code_) : UNKNOWN;
                }
                continue;
            }
            // Cut short: the broken sequence counts once, and b starts
            // afresh.
            due_ = 0;
            out[written++] = UNKNOWN;
        }
        if (b < 0x80) {
            out[written++] = b;
        } else if (b >= 0xC2 && b <= 0xDF) {
            code_ = b & 0x1F;
            due_ = 1;
            least_ = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            code_ = b & 0x0F;
            due_ = 2;
            least_ = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            code_ = b & 0x07;
            due_ = 3;
            least_ = 0x10000;
        } else {
            // A continuation byte with no lead, or a byte UTF-8 never has.
            out[written++] = UNKNOWN;
        }
    }
    return written;
}
