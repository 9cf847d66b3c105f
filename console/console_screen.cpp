#include "console/console_screen.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "port/clock.h"
#include "port/control_signals.h"

ConsoleScreen console_screen;

namespace {
// Logical colour n -> the attribute's colour nibble.
constexpr uint8_t colour_bits[16] = {
    0x0, 0x4, 0x2, 0x6, 0x1, 0x5, 0x3, 0x7,
    0x8, 0xC, 0xA, 0xE, 0x9, 0xD, 0xB, 0xF,
};
}

ConsoleBackend terminal_console_backend()
{
    return ConsoleBackend{terminal_open, terminal_show, terminal_read_key, terminal_close, wall_seconds};
}

void ScreenBuffer::clear()
{
    for (auto& row : cells)
        for (auto& cell : row)
            cell = TerminalCell{' ', 0x07};
    cursor_column = 0;
    cursor_row = 0;
    attribute = 0x07;
}

void ConsoleScreen::reset()
{
    buffer_a.clear();
    buffer_b.clear();
    current = nullptr;
    shown = nullptr;
    terminal_open = false;
    process_times_taken = false;
    baseline = LoadingBaseline{0, 0, 0};
    counter_present = false;
    ticks_per_ms = 0;
    poll_count = 0;
    last_refresh_time = 0;
    figures = PageFigures{};
}

uint8_t colour_attribute(int foreground, int background)
{
    return uint8_t(colour_bits[foreground & 15] | (colour_bits[background & 15] << 4));
}

void set_colour(int foreground, int background)
{
    if (console_screen.current)
        console_screen.current->attribute = colour_attribute(foreground, background);
}

void move_cursor(int column, int row)
{
    ScreenBuffer* buffer = console_screen.current;
    if (!buffer)
        return;
    // Positions outside the screen are clamped, as the console does.
    buffer->cursor_column = column < 0 ? 0 : column >= SCREEN_COLUMNS ? SCREEN_COLUMNS - 1 : column;
    buffer->cursor_row = row < 0 ? 0 : row >= SCREEN_ROWS ? SCREEN_ROWS - 1 : row;
}

void write_text(const char* text)
{
    ScreenBuffer* buffer = console_screen.current;
    if (!buffer || !text)
        return;
    TerminalCell* row = buffer->cells[buffer->cursor_row];
    for (const char* p = text; *p; ++p) {
        row[buffer->cursor_column] = TerminalCell{uint8_t(*p), buffer->attribute};
        if (buffer->cursor_column < SCREEN_COLUMNS - 1)
            ++buffer->cursor_column;
    }
}

void print_text(const char* format, ...)
{
    char text[64];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    write_text(text);
}

void console_shutdown()
{
    if (console_screen.terminal_open) {
        console_screen.backend.close();
        set_interrupt_ignored(false);
    }
    console_screen.terminal_open = false;
    console_screen.current = nullptr;
    console_screen.shown = nullptr;
}
