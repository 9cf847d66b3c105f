// The terminal that shows the status page, replacing the console screen
// buffers, text attributes and keyboard events: an ncursesw screen.
#pragma once

#include <cstdint>

constexpr int TERMINAL_COLUMNS = 80;
constexpr int TERMINAL_ROWS = 25;

// A code page 437 byte with its attribute: foreground in the low nibble,
// background in the high one, each blue bit 0, green 1, red 2, intensity 3.
struct TerminalCell {
    uint8_t byte;
    uint8_t attribute;
};

enum class TerminalKey {
    None,      // nothing waiting
    F3,
    Modified,  // any key with Shift, Ctrl or Alt held
    Other,
};

// Sets the terminal's title when standard output is a terminal that has one.
void terminal_set_title(const char* title);

// Takes over the terminal on standard input and output: the page goes to the
// terminal, ordinary standard output to /dev/null until terminal_close. 0, or
// -1 with *reason saying why there is no usable terminal (nothing changed).
int terminal_open(const char** reason);

// The same on given descriptors with a given terminal type, leaving
// standard output alone (tests and measurements on a pseudo-terminal).
int terminal_open_on(int input_fd, int output_fd, const char* type, const char** reason);

// Draws TERMINAL_ROWS x TERMINAL_COLUMNS cells, row by row.
void terminal_show(const TerminalCell* cells);

// The next waiting key, never waiting for one.
TerminalKey terminal_read_key();

// The descriptor keys arrive on while the terminal is open, else -1: a
// wait on it ends when a key is typed.
int terminal_input_descriptor();

// True while output the terminal could not take waits to be written.
bool terminal_output_waiting();

// Gives the terminal back as it was; harmless when not open.
void terminal_close();

// Async-signal-safe: restores the terminal modes, leaves the page and
// points standard output at the terminal again. For the fault path.
void terminal_restore_after_fault();

// The Unicode glyph of a code page 437 byte; never a control character.
uint32_t cp437_glyph(uint8_t byte);

// What an ncurses key code means for the display.
TerminalKey classify_key(int code);
