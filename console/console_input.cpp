#include "console/console_input.h"

#include <cstdio>

#include "port/host_description.h"
#include "port/running_flag.h"
#include "util/version.h"
#include "stats/statistics_board.h"
#include "console/console_screen.h"
#include "console/shown_page.h"
#include "console/status_pages.h"
#include "port/clock.h"
#include "port/control_signals.h"
#include "port/terminal.h"

namespace {
// A flood of keys must not hold up the main loop; the rest wait.
constexpr int KEYS_PER_POLL = 64;
// How soon a terminal that could not take the page is tried again.
constexpr int DRAIN_RETRY_MS = 20;

// Set when a poll stopped at KEYS_PER_POLL: the rest may sit in the
// terminal library's buffer, where no wait on the descriptor sees them.
bool keys_left = false;

void show(ScreenBuffer* buffer)
{
    console_screen.shown = buffer;
    if (console_screen.terminal_open)
        console_screen.backend.show(&buffer->cells[0][0]);
    publish_shown_page(&buffer->cells[0][0], console_screen.figures, console_screen.last_refresh_time);
}

void draw_initial(ScreenBuffer* buffer)
{
    console_screen.current = buffer;
    buffer->clear();
    draw_frames();
    draw_date_time();
    show(buffer);
}
}

int console_init(bool debug_mode, bool page_wanted)
{
    char title[32];
    std::snprintf(title, sizeof title, "ORVA v%s", ORVA_VERSION);
    terminal_set_title(title);
    console_screen.reset();
    if (debug_mode && !page_wanted)
        return 0;

    const char* reason = "";
    if (debug_mode) {
        // Drawn for the status server only; the terminal keeps the output.
    } else if (console_screen.backend.open(&reason) != 0) {
        std::printf("No usable terminal (%s): running without the status display, as with -d\n", reason);
        std::fflush(stdout);
        if (!page_wanted)
            return 0;
    } else {
        console_screen.terminal_open = true;
        set_interrupt_ignored(true);
    }

    if (host_is_nt()) {
        ProcessTimes times = process_times();
        console_screen.baseline = LoadingBaseline{process_start_time_100ns(), times.kernel_100ns, times.user_100ns};
        console_screen.process_times_taken = true;
    }
    console_screen.counter_present = true;
    console_screen.ticks_per_ms = PERFORMANCE_TICKS_PER_SECOND / 1000;

    draw_initial(&console_screen.buffer_a);
    draw_initial(&console_screen.buffer_b);
    return 0;
}

void console_poll()
{
    ConsoleScreen& screen = console_screen;
    if (!screen.current)
        return;
    keys_left = screen.terminal_open;
    for (int i = 0; screen.terminal_open && i < KEYS_PER_POLL; ++i) {
        TerminalKey key = screen.backend.read_key();
        if (key == TerminalKey::None) {
            keys_left = false;
            break;
        }
        // A key with a modifier ends this poll: nothing counted or drawn.
        if (key == TerminalKey::Modified)
            return;
        if (key == TerminalKey::F3) {
            running_flag.set(false);
            screen.last_refresh_time = 0;
        }
    }
    ++screen.poll_count;
    int64_t now = screen.backend.clock_seconds();
    if (now == screen.last_refresh_time)
        return;
    screen.current = screen.current == &screen.buffer_b ? &screen.buffer_a : &screen.buffer_b;
    screen.last_refresh_time = now;

    draw_loading();
    const StatusFigures figures = stats_board.take_refresh();
    draw_connections(figures);
    draw_throughput(figures);
    draw_connect_stats(figures);
    draw_board_stats(figures);
    draw_shutdown_notice();
    draw_date_time();

    show(screen.current);
    screen.poll_count = 0;
}

int console_input_descriptor()
{
    return console_screen.current && console_screen.terminal_open ? terminal_input_descriptor() : -1;
}

int console_ms_until_due()
{
    if (!console_screen.current)
        return -1;
    if (keys_left)
        return 0;
    if (terminal_output_waiting())
        return DRAIN_RETRY_MS;
    return ms_to_next_wall_second();
}
