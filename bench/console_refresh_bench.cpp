// Measures one console refresh (draw both halves of the page and render it
// with ncurses onto a pseudo-terminal), and the poll between refreshes.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <pty.h>
#include <thread>
#include <unistd.h>

#include "port/running_flag.h"
#include "stats/statistics_board.h"
#include "console/console_input.h"
#include "console/console_screen.h"

namespace {
int slave_fd = -1;
int64_t fake_now = 1000;

int open_on_pty(const char** reason)
{
    return terminal_open_on(slave_fd, slave_fd, "xterm-256color", reason);
}

void no_show(const TerminalCell*) {}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs count refreshes; busy changes every line and figure each time.
double refresh_us(int count, bool busy)
{
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        if (busy) {
            for (int line = 1; line <= 16; ++line) {
                stats_board.update_line(line, [&](LineEntry& e) { e.state = (i + line) % 3 ? LINE_CONNECTED : LINE_IDLE; });
                char address[32];
                std::snprintf(address, sizeof address, "caller-%d-%d.example.net", line, i);
                stats_board.update_line(line, [&](LineEntry& e) { copy_text(e.address, address); });
                stats_board.update_line(line, [&](LineEntry& e) { e.seq_in = uint16_t(i * 7 + line); });
                stats_board.update_line(line, [&](LineEntry& e) { e.seq_out = uint16_t(i * 5 + line); });
            }
            stats_board.add_input_bytes((i % 80) * 1024);
            stats_board.update([&](StatusFigures& f) { f.poll_ticks = uint64_t(i % 150) * 1000000; });
            stats_board.update([&](StatusFigures& f) { f.total_connections = uint16_t(i); });
        }
        ++fake_now;
        console_poll();
    }
    return seconds_since(start) * 1e6 / count;
}
}

int main()
{
    int master_fd = -1;
    struct winsize size{};
    size.ws_row = 25;
    size.ws_col = 80;
    if (openpty(&master_fd, &slave_fd, nullptr, nullptr, &size) != 0) {
        std::perror("openpty");
        return 1;
    }
    setenv("LC_CTYPE", "C.UTF-8", 1);
    std::atomic<bool> stop{false};
    std::atomic<long> drained{0};
    std::thread reader([&] {
        char buffer[65536];
        while (!stop) {
            struct pollfd p{master_fd, POLLIN, 0};
            if (::poll(&p, 1, 10) > 0) {
                ssize_t n = read(master_fd, buffer, sizeof buffer);
                if (n > 0)
                    drained += n;
            }
        }
    });

    running_flag.set(true);
    ConsoleBackend backend = terminal_console_backend();
    backend.open = open_on_pty;
    backend.clock_seconds = [] { return fake_now; };
    console_screen.backend = backend;
    if (console_init(false) != 0 || !console_screen.current) {
        std::fprintf(stderr, "no terminal on the pseudo-terminal\n");
        return 1;
    }
    const int rounds = 2000;
    refresh_us(100, true);
    long before = drained;
    double steady = refresh_us(rounds, false);
    long steady_bytes = drained - before;
    before = drained;
    double busy = refresh_us(rounds, true);
    long busy_bytes = drained - before;

    // Between refreshes: one key check and one clock read.
    auto start = std::chrono::steady_clock::now();
    const int polls = 200000;
    for (int i = 0; i < polls; ++i)
        console_poll();
    double idle_poll_ns = seconds_since(start) * 1e9 / polls;
    console_shutdown();

    // Drawing alone, without the terminal.
    backend.open = [](const char**) { return 0; };
    backend.show = no_show;
    backend.close = [] {};
    console_screen.backend = backend;
    console_init(false);
    double draw_only = refresh_us(rounds, true);
    console_shutdown();

    stop = true;
    reader.join();
    std::printf("refresh, nothing changed:   %8.1f us  (%ld bytes to the terminal per refresh)\n",
                steady, steady_bytes / rounds);
    std::printf("refresh, every value moved: %8.1f us  (%ld bytes to the terminal per refresh)\n",
                busy, busy_bytes / rounds);
    std::printf("drawing only, no terminal:  %8.1f us\n", draw_only);
    std::printf("poll between refreshes:     %8.1f ns\n", idle_poll_ns);
    return 0;
}
