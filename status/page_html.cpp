#include "status/page_html.h"

namespace {
// By attribute nibble: blue bit 0, green 1, red 2, intensity 3.
constexpr const char* PALETTE[16] = {
    "#000000", "#0000aa", "#00aa00", "#00aaaa", "#aa0000", "#aa00aa", "#aa5500", "#aaaaaa",
    "#555555", "#5555ff", "#55ff55", "#55ffff", "#ff5555", "#ff55ff", "#ffff55", "#ffffff",
};

void add_utf8(std::string& out, uint32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

void add_glyph(std::string& out, uint8_t byte)
{
    uint32_t c = cp437_glyph(byte);
    if (c == '<')
        out += "&lt;";
    else if (c == '>')
        out += "&gt;";
    else if (c == '&')
        out += "&amp;";
    else
        add_utf8(out, c);
}

std::string colour_classes()
{
    std::string css;
    for (int i = 0; i < 16; ++i) {
        std::string n = std::to_string(i);
        css += ".f" + n + "{color:" + PALETTE[i] + "}.b" + n + "{background:" + PALETTE[i] + "}\n";
    }
    return css;
}
}

std::string page_rows_html(const PageImage& page)
{
    std::string out;
    out.reserve(TERMINAL_ROWS * TERMINAL_COLUMNS * 4);
    for (int row = 0; row < TERMINAL_ROWS; ++row) {
        const TerminalCell* cells = page.cells[row];
        // One span per run of cells in the same colours.
        for (int start = 0; start < TERMINAL_COLUMNS;) {
            uint8_t attribute = cells[start].attribute;
            out += "<span class=\"f" + std::to_string(attribute & 15) + " b" + std::to_string(attribute >> 4) + "\">";
            int end = start;
            for (; end < TERMINAL_COLUMNS && cells[end].attribute == attribute; ++end)
                add_glyph(out, cells[end].byte);
            out += "</span>";
            start = end;
        }
        if (row + 1 < TERMINAL_ROWS)
            out += '\n';
    }
    return out;
}

std::string page_html(const PageImage& page)
{
    // 80 columns of a monospace font are about 48em wide: the font shrinks
    // to fit a narrow screen and stops growing at 16px.
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
           "<title>ORVA status</title>\n<style>\n"
           "body{margin:0;background:#000}\n"
           "#screen{margin:0 auto;width:max-content;font-family:\"DejaVu Sans Mono\",\"Liberation Mono\",monospace;"
           "font-size:min(16px,calc((100vw - 4px) / 48.5));line-height:1;white-space:pre}\n" +
           colour_classes() +
           "</style></head><body><pre id=\"screen\">" + page_rows_html(page) +
           "</pre>\n<script>\n"
           "setInterval(function () {\n"
           "  fetch('/screen', {cache: 'no-store'})\n"
           "    .then(function (r) { return r.ok ? r.text() : null; })\n"
           "    .then(function (t) { if (t !== null) document.getElementById('screen').innerHTML = t; })\n"
           "    .catch(function () {});\n"
           "}, 1000);\n"
           "</script></body></html>\n";
}
