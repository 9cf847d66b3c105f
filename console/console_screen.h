// The status display's screen: two in-memory 80x25 buffers of code page 437
// bytes and attributes, the logical colour table and the drawing primitives.
#pragma once

#include <cstdint>

#include "console/shown_page.h"
#include "port/terminal.h"

constexpr int SCREEN_COLUMNS = TERMINAL_COLUMNS;
constexpr int SCREEN_ROWS = TERMINAL_ROWS;

// One grid of cells with its own cursor and text attribute, as a console
// screen buffer has.
struct ScreenBuffer {
    TerminalCell cells[SCREEN_ROWS][SCREEN_COLUMNS];
    int cursor_column;
    int cursor_row;
    uint8_t attribute;

    void clear();
    const TerminalCell& at(int column, int row) const { return cells[row][column]; }
};

// Process times of the previous loading sample, in 100 ns units.
struct LoadingBaseline {
    uint64_t wall;
    uint64_t kernel;
    uint64_t user;
};

// Where the display goes: the terminal, or a stand-in that a test provides.
struct ConsoleBackend {
    // 0 when the page can be shown; otherwise -1 and *reason says why.
    int (*open)(const char** reason);
    void (*show)(const TerminalCell* cells);
    TerminalKey (*read_key)();
    void (*close)();
    int64_t (*clock_seconds)();
};

// The terminal backend with the wall clock.
ConsoleBackend terminal_console_backend();

struct ConsoleScreen {
    ConsoleBackend backend = terminal_console_backend();
    ScreenBuffer buffer_a;
    ScreenBuffer buffer_b;
    // The buffer the primitives draw into; null in debug mode and after
    // console_shutdown.
    ScreenBuffer* current;
    // The buffer the terminal shows.
    ScreenBuffer* shown;
    bool terminal_open;
    bool process_times_taken;
    LoadingBaseline baseline;
    bool counter_present;
    uint64_t ticks_per_ms;
    uint64_t poll_count;
    int64_t last_refresh_time;
    // What the last refresh drew in the loading and throughput boxes.
    PageFigures figures;

    // Back to the state before console_init; the backend stays.
    void reset();
};

extern ConsoleScreen console_screen;

// The attribute byte of a (foreground, background) pair of logical colours
// 0..15: blue in bit 0, green 1, red 2, intensity 3; background shifted by 4.
uint8_t colour_attribute(int foreground, int background);

void set_colour(int foreground, int background);
void move_cursor(int column, int row);
// Writes every byte of text at the cursor; nothing wraps: once the cursor
// reaches column 79 it stays there and later bytes overwrite that cell.
void write_text(const char* text);
// Formats into 64 bytes (at most 63 characters survive) and writes them.
void print_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Ends the display: restores the terminal and drops the buffers. Harmless
// when the console never started or ran in debug mode.
void console_shutdown();
