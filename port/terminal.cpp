// Replaces the console screen buffers, SetConsoleTitle, text attributes and
// keyboard input events with ncursesw on the controlling terminal.
#include "port/terminal.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#ifndef NCURSES_WIDECHAR
#define NCURSES_WIDECHAR 1
#endif
#include <curses.h>
#include <term.h>

#include "port/fault_guard.h"
#include "util/cp437_utf8.h"

namespace {

// What the code page draws for its control bytes, where the page shows a
// byte as it is (0 as a space); from 0x20 on, the translator's glyphs.
constexpr uint16_t CONTROL_GLYPHS[32] = {
    0x0020, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022,
    0x25D8, 0x25CB, 0x25D9, 0x2642, 0x2640, 0x266A, 0x266B, 0x263C,
    0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7, 0x25AC, 0x21A8,
    0x2191, 0x2193, 0x2192, 0x2190, 0x221F, 0x2194, 0x25B2, 0x25BC,
};

struct TerminalState {
    bool open = false;
    SCREEN* screen = nullptr;
    FILE* out = nullptr;
    FILE* in = nullptr;
    bool utf8 = false;
    bool bright_colours = false;
    short pair_of[256] = {};
    int next_pair = 1;
    // For the fault path, which may use only these.
    int tty_in_fd = -1;
    int tty_out_fd = -1;
    int saved_stdout_fd = -1;
    bool termios_saved = false;
    struct termios saved_termios;
    char reset_sequence[256];
    size_t reset_length = 0;

    // ncurses writes into a pipe; its bytes go on to the terminal only as
    // fast as the terminal takes them, so a terminal that stops reading
    // never holds up the caller of terminal_show.
    int pipe_in = -1;      // read end, never blocking
    int tty_writer = -1;   // the terminal, opened anew without blocking
    char carry[4096];      // read from the pipe, not yet taken by the terminal
    size_t carry_start = 0;
    size_t carry_end = 0;
    bool output_waiting = false;
    // The page that came while the terminal was behind; drawn once it drains.
    bool page_waiting = false;
    TerminalCell waiting_page[TERMINAL_ROWS * TERMINAL_COLUMNS];
};

TerminalState state;

// The attribute nibble (blue bit 0, red bit 2) -> curses colour (red 1, blue 4).
int curses_colour(int nibble)
{
    return ((nibble & 4) ? 1 : 0) | (nibble & 2) | ((nibble & 1) ? 4 : 0) | (nibble & 8);
}

void append_capability(const char* name)
{
    char* value = tigetstr(const_cast<char*>(name));
    if (!value || value == reinterpret_cast<char*>(-1))
        return;
    size_t length = std::strlen(value);
    if (state.reset_length + length >= sizeof state.reset_sequence)
        return;
    std::memcpy(state.reset_sequence + state.reset_length, value, length);
    state.reset_length += length;
}

short pair_for(uint8_t attribute, attr_t* extra)
{
    int foreground = curses_colour(attribute & 15);
    int background = curses_colour(attribute >> 4);
    *extra = A_NORMAL;
    if (!has_colors())
        return 0;
    if (!state.bright_colours) {
        if (foreground & 8)
            *extra = A_BOLD;
        foreground &= 7;
        background &= 7;
    }
    if (state.pair_of[attribute] == 0 && state.next_pair < COLOR_PAIRS && state.next_pair < 256) {
        init_pair(short(state.next_pair), short(foreground), short(background));
        state.pair_of[attribute] = short(state.next_pair++);
    }
    return state.pair_of[attribute];
}

// Outside a UTF-8 locale: the nearest line-drawing or ASCII character.
chtype acs_fallback(uint8_t byte)
{
    switch (byte) {
    case 0xDB: case 0xDC: case 0xDF: case 0xB2: return ACS_BLOCK;
    case 0xDD: case 0xDE: case 0xB3: case 0xBA: return ACS_VLINE;
    case 0xB0: case 0xB1: case 0x16: return ACS_CKBOARD;
    case 0xC4: case 0xCD: return ACS_HLINE;
    case 0xDA: case 0xC9: return ACS_ULCORNER;
    case 0xBF: case 0xBB: return ACS_URCORNER;
    case 0xC0: case 0xC8: return ACS_LLCORNER;
    case 0xD9: case 0xBC: return ACS_LRCORNER;
    case 0xC5: case 0xCE: return ACS_PLUS;
    case 0xFA: case 0xF9: case 0x07: return ACS_BULLET;
    case 0x18: return ACS_UARROW;
    case 0x19: return ACS_DARROW;
    case 0x1A: case 0x10: return ACS_RARROW;
    case 0x1B: case 0x11: return ACS_LARROW;
    case 0x01: case 0x02: return 'o';
    case 0xF8: return ACS_DEGREE;
    case 0xF1: return ACS_PLMINUS;
    default:
        if (byte >= 0x20 && byte < 0x7F)
            return byte;
        return byte == 0 ? ' ' : '?';
    }
}

void fault_cleanup()
{
    terminal_restore_after_fault();
}

bool title_capable(const char* term)
{
    static const char* const families[] = {"xterm", "tmux", "screen", "rxvt", "vte", "gnome",
                                           "konsole", "alacritty", "foot", "kitty", "putty"};
    for (const char* family : families)
        if (std::strncmp(term, family, std::strlen(family)) == 0)
            return true;
    return false;
}

// Moves what ncurses wrote on to the terminal without waiting; true once
// all of it is there.
bool pass_output_on()
{
    for (;;) {
        if (state.carry_start == state.carry_end) {
            ssize_t n = read(state.pipe_in, state.carry, sizeof state.carry);
            if (n <= 0)
                break;
            state.carry_start = 0;
            state.carry_end = size_t(n);
        }
        ssize_t n = write(state.tty_writer, state.carry + state.carry_start, state.carry_end - state.carry_start);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            state.carry_start = state.carry_end; // a terminal gone takes nothing more
            continue;
        }
        if (n <= 0)
            break;
        state.carry_start += size_t(n);
    }
    // Left with nothing carried only when the pipe read empty.
    state.output_waiting = state.carry_start != state.carry_end;
    return !state.output_waiting;
}

// Drawing goes to the pipe, which holds a whole page many times over, and
// starts only when it is empty: ncurses never waits on it.
void draw_page(const TerminalCell* cells);

void show_page(const TerminalCell* cells)
{
    if (!pass_output_on()) {
        std::memcpy(state.waiting_page, cells, sizeof state.waiting_page);
        state.page_waiting = true;
        return;
    }
    state.page_waiting = false;
    draw_page(cells);
    pass_output_on();
}

// Puts ncurses' output into a pipe from here on; the terminal is written
// only by pass_output_on. 0, or -1.
int divert_output(int output_fd)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", output_fd);
    state.tty_writer = open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int ends[2];
    if (state.tty_writer < 0 || pipe2(ends, O_CLOEXEC) != 0) {
        if (state.tty_writer >= 0)
            close(state.tty_writer);
        state.tty_writer = -1;
        return -1;
    }
    fcntl(ends[0], F_SETPIPE_SZ, 1 << 20);
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    std::fflush(state.out);
    int ncurses_fd = fileno(state.out);
    dup2(ends[1], ncurses_fd);
    fcntl(ncurses_fd, F_SETFD, FD_CLOEXEC);
    close(ends[1]);
    state.pipe_in = ends[0];
    state.carry_start = state.carry_end = 0;
    state.output_waiting = false;
    state.page_waiting = false;
    return 0;
}

// At the end the terminal gets what is left, within a bound.
void drain_output()
{
    for (int i = 0; i < 20 && !pass_output_on(); ++i) {
        struct pollfd p{state.tty_writer, POLLOUT, 0};
        poll(&p, 1, 50);
    }
    close(state.pipe_in);
    close(state.tty_writer);
    state.pipe_in = state.tty_writer = -1;
}

// The terminal's own size; ncurses, writing into a pipe, cannot ask it.
void take_terminal_size()
{
    struct winsize size{};
    if (ioctl(state.tty_writer, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0)
        resize_term(size.ws_row, size.ws_col);
}

void close_files()
{
    if (state.out)
        std::fclose(state.out);
    if (state.in)
        std::fclose(state.in);
    state.out = nullptr;
    state.in = nullptr;
}
}

uint32_t cp437_glyph(uint8_t byte)
{
    return byte < 0x20 ? CONTROL_GLYPHS[byte] : uint32_t(Cp437Utf8::glyph(byte));
}

TerminalKey classify_key(int code)
{
    if (code == ERR)
        return TerminalKey::None;
    if (code == KEY_F(3))
        return TerminalKey::F3;
    // Terminals send function keys with Shift, Ctrl, Alt and their
    // combinations as F13..F63.
    if (code >= KEY_F(13) && code <= KEY_F(63))
        return TerminalKey::Modified;
    switch (code) {
    case KEY_BTAB: case KEY_SLEFT: case KEY_SRIGHT: case KEY_SHOME: case KEY_SEND:
    case KEY_SDC: case KEY_SIC: case KEY_SR: case KEY_SF: case KEY_SNEXT: case KEY_SPREVIOUS:
        return TerminalKey::Modified;
    default:
        break;
    }
    // Keys that terminfo names by their modifiers (kUP5 and the like).
    if (code > KEY_MAX)
        return TerminalKey::Modified;
    // Ctrl with a letter; Tab, Backspace and Enter are keys of their own.
    if (code >= 1 && code < 0x20 && code != '\t' && code != '\b' && code != '\n' && code != '\r' && code != 27)
        return TerminalKey::Modified;
    return TerminalKey::Other;
}

void terminal_set_title(const char* title)
{
    const char* term = std::getenv("TERM");
    if (!isatty(STDOUT_FILENO) || !term || !title_capable(term))
        return;
    char sequence[128];
    int length = std::snprintf(sequence, sizeof sequence, "\033]0;%s\007", title);
    if (length <= 0 || size_t(length) >= sizeof sequence)
        return;
    std::fflush(stdout);
    ssize_t written = write(STDOUT_FILENO, sequence, size_t(length));
    (void)written;
}

int terminal_open_on(int input_fd, int output_fd, const char* type, const char** reason)
{
    static const char* ignored;
    if (!reason)
        reason = &ignored;
    if (state.open) {
        *reason = "the terminal is already in use";
        return -1;
    }
    if (!type || !*type || std::strcmp(type, "dumb") == 0) {
        *reason = "TERM names no usable terminal";
        return -1;
    }
    // Glyphs need the character set of the environment; nothing else of
    // the locale is taken, so log timestamps keep their month names.
    std::setlocale(LC_CTYPE, "");
    state.utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;

    int out_copy = dup(output_fd);
    int in_copy = dup(input_fd);
    state.out = out_copy >= 0 ? fdopen(out_copy, "w") : nullptr;
    state.in = in_copy >= 0 ? fdopen(in_copy, "r") : nullptr;
    if (!state.out || !state.in) {
        if (!state.out && out_copy >= 0)
            close(out_copy);
        if (!state.in && in_copy >= 0)
            close(in_copy);
        close_files();
        *reason = "cannot duplicate the terminal descriptors";
        return -1;
    }
    // Look the type up first: a failed newterm leaks its screen.
    int lookup_error = 0;
    if (setupterm(const_cast<char*>(type), output_fd, &lookup_error) != OK) {
        close_files();
        *reason = "TERM names no known terminal type";
        return -1;
    }
    char* cup = tigetstr(const_cast<char*>("cup"));
    bool addressable = cup && cup != reinterpret_cast<char*>(-1);
    del_curterm(cur_term);
    if (!addressable) {
        close_files();
        *reason = "the terminal cannot place the cursor";
        return -1;
    }
    state.termios_saved = tcgetattr(input_fd, &state.saved_termios) == 0;
    state.screen = newterm(type, state.out, state.in);
    if (!state.screen) {
        close_files();
        *reason = "the terminal cannot be set up";
        return -1;
    }
    set_term(state.screen);
    cbreak();
    noecho();
    nonl();
    intrflush(stdscr, FALSE);
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    leaveok(stdscr, TRUE);
    scrollok(stdscr, FALSE);
    set_escdelay(25);
    if (state.termios_saved) {
        // Ctrl+S, Ctrl+Q and Ctrl+Z are keys for the page: flow control
        // would stop its output until Ctrl+Q, the suspend character the
        // whole adapter. Ctrl+C and Ctrl+\ still raise their signals.
        struct termios modes;
        if (tcgetattr(input_fd, &modes) == 0) {
            modes.c_iflag &= tcflag_t(~(IXON | IXOFF));
            modes.c_cc[VSUSP] = _POSIX_VDISABLE;
            tcsetattr(input_fd, TCSANOW, &modes);
        }
    }
    if (divert_output(output_fd) != 0) {
        endwin();
        delscreen(state.screen);
        state.screen = nullptr;
        if (state.termios_saved)
            tcsetattr(input_fd, TCSANOW, &state.saved_termios);
        close_files();
        *reason = "cannot write to the terminal without blocking";
        return -1;
    }
    take_terminal_size();
    curs_set(0);
    if (has_colors()) {
        start_color();
        state.bright_colours = COLORS >= 16;
    }
    std::memset(state.pair_of, 0, sizeof state.pair_of);
    state.next_pair = 1;

    state.reset_length = 0;
    append_capability("sgr0");
    append_capability("cnorm");
    append_capability("rmcup");
    state.tty_in_fd = input_fd;
    state.tty_out_fd = output_fd;
    state.open = true;
    set_fault_cleanup(fault_cleanup);
    return 0;
}

int terminal_input_descriptor()
{
    return state.open ? state.tty_in_fd : -1;
}

bool terminal_output_waiting()
{
    return state.open && state.output_waiting;
}

int terminal_open(const char** reason)
{
    static const char* ignored;
    if (!reason)
        reason = &ignored;
    if (!isatty(STDIN_FILENO)) {
        *reason = "standard input is not a terminal";
        return -1;
    }
    if (!isatty(STDOUT_FILENO)) {
        *reason = "standard output is not a terminal";
        return -1;
    }
    const char* term = std::getenv("TERM");
    if (!term || !*term) {
        *reason = "TERM is not set";
        return -1;
    }
    std::fflush(stdout);
    int tty_fd = dup(STDOUT_FILENO);
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (tty_fd < 0 || null_fd < 0) {
        if (tty_fd >= 0)
            close(tty_fd);
        if (null_fd >= 0)
            close(null_fd);
        *reason = "cannot duplicate standard output";
        return -1;
    }
    fcntl(tty_fd, F_SETFD, FD_CLOEXEC);
    if (terminal_open_on(STDIN_FILENO, tty_fd, term, reason) != 0) {
        close(tty_fd);
        close(null_fd);
        return -1;
    }
    // Ordinary output would scribble over the page while it is shown.
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
    state.saved_stdout_fd = tty_fd;
    return 0;
}

void terminal_show(const TerminalCell* cells)
{
    if (state.open)
        show_page(cells);
}

namespace {
void draw_page(const TerminalCell* cells)
{
    int row_count = LINES < TERMINAL_ROWS ? LINES : TERMINAL_ROWS;
    int column_count = COLS < TERMINAL_COLUMNS ? COLS : TERMINAL_COLUMNS;
    for (int row = 0; row < row_count; ++row) {
        for (int column = 0; column < column_count; ++column) {
            const TerminalCell& cell = cells[row * TERMINAL_COLUMNS + column];
            attr_t extra;
            short pair = pair_for(cell.attribute, &extra);
            if (state.utf8) {
                wchar_t glyph[2] = {wchar_t(cp437_glyph(cell.byte)), 0};
                cchar_t wide;
                setcchar(&wide, glyph, extra, pair, nullptr);
                mvadd_wch(row, column, &wide);
            } else {
                mvaddch(row, column, acs_fallback(cell.byte) | extra | COLOR_PAIR(pair));
            }
        }
    }
    wnoutrefresh(stdscr);
    doupdate();
}
}

TerminalKey terminal_read_key()
{
    if (!state.open)
        return TerminalKey::None;
    // Called every pass: the time to catch up with a terminal that was behind.
    if (state.output_waiting && pass_output_on() && state.page_waiting)
        show_page(state.waiting_page);
    int code = getch();
    if (code == KEY_RESIZE) {
        take_terminal_size();
        clearok(curscr, TRUE);
        return TerminalKey::Other;
    }
    if (code == 27) {
        // Escape followed at once by a character is that character with Alt.
        // Followed by a function key it was an Escape of its own, and the key
        // (an F3 among them) is read next rather than lost.
        int next = getch();
        if (next == ERR)
            return TerminalKey::Other;
        if (next >= KEY_MIN) {
            ungetch(next);
            return TerminalKey::Other;
        }
        return TerminalKey::Modified;
    }
    return classify_key(code);
}

void terminal_close()
{
    if (!state.open)
        return;
    set_fault_cleanup(nullptr);
    endwin();
    drain_output();
    // ncurses, writing into the pipe, cannot restore the modes itself.
    if (state.termios_saved)
        tcsetattr(state.tty_in_fd, TCSANOW, &state.saved_termios);
    delscreen(state.screen);
    state.screen = nullptr;
    close_files();
    if (state.saved_stdout_fd >= 0) {
        dup2(state.saved_stdout_fd, STDOUT_FILENO);
        close(state.saved_stdout_fd);
        state.saved_stdout_fd = -1;
    }
    state.open = false;
}

void terminal_restore_after_fault()
{
    if (!state.open)
        return;
    if (state.termios_saved)
        tcsetattr(state.tty_in_fd, TCSANOW, &state.saved_termios);
    if (state.reset_length > 0) {
        ssize_t written = write(state.tty_out_fd, state.reset_sequence, state.reset_length);
        (void)written;
    }
    if (state.saved_stdout_fd >= 0)
        dup2(state.saved_stdout_fd, STDOUT_FILENO);
}
