#include "console/status_pages.h"

#include <cmath>
#include <cstring>
#include <ctime>

#include "port/host_description.h"
#include "port/running_flag.h"
#include "console/console_screen.h"
#include "port/clock.h"

namespace {
constexpr char BLOCK = char(0xDB);
constexpr char UPPER_HALF = char(0xDF);
constexpr char LEFT_HALF = char(0xDD);
constexpr char RIGHT_HALF = char(0xDE);
constexpr char VERTICAL = char(0xB3);
constexpr char DOT = char(0xFA);
constexpr char BAR = char(0x16);
constexpr char IN_USE = char(0x01);
constexpr char IDLE = char(0x18);

// Builds frame rows one run at a time.
class Row {
public:
    Row& add(char c, int count = 1)
    {
        for (int i = 0; i < count && length_ < SCREEN_COLUMNS; ++i)
            text_[length_++] = c;
        text_[length_] = 0;
        return *this;
    }
    Row& add(const char* s)
    {
        while (*s)
            add(*s++);
        return *this;
    }
    const char* text() const { return text_; }

private:
    char text_[SCREEN_COLUMNS + 1] = {};
    int length_ = 0;
};

void write_row(int row, int foreground, int background, const Row& content)
{
    set_colour(foreground, background);
    move_cursor(0, row);
    write_text(content.text());
}

void write_at(int column, int row, int foreground, int background, const char* text)
{
    set_colour(foreground, background);
    move_cursor(column, row);
    write_text(text);
}

void write_bar(int column, int row, int length)
{
    char bar[BAR_WIDTH + 1];
    for (int i = 0; i < BAR_WIDTH; ++i)
        bar[i] = i < length ? BAR : ' ';
    bar[BAR_WIDTH] = 0;
    move_cursor(column, row);
    write_text(bar);
}

// A figure of the statistics boxes, in the colour already set.
void write_figure(int column, int row, int value)
{
    move_cursor(column, row);
    print_text("%5d", value);
}

int clamp_bar(double length)
{
    if (!(length > 0))
        return 0;
    return length >= BAR_WIDTH ? BAR_WIDTH : int(length);
}

void draw_line_cell(const LineEntry& line, int index, int column)
{
    int state = line.state;
    if (state != LINE_IDLE && state != LINE_CONNECTED)
        return;
    move_cursor(column, 7 + index / 2);
    print_text("%2d", index + 1);
    move_cursor(column + 4, 7 + index / 2);
    if (state == LINE_IDLE) {
        print_text("%-24s", "Idle");
        move_cursor(column + 29, 7 + index / 2);
        write_text("    ");
        move_cursor(column + 34, 7 + index / 2);
        write_text("    ");
    } else {
        print_text("%-24.24s", line.address);
        move_cursor(column + 29, 7 + index / 2);
        print_text("%04X", line.seq_in);
        move_cursor(column + 34, 7 + index / 2);
        print_text("%04X", line.seq_out);
    }
}
}

LoadingFigures loading_figures(uint64_t elapsed, uint64_t kernel, uint64_t user)
{
    LoadingFigures f{};
    // No time has passed (or the clock stood still): nothing was used.
    double k = elapsed ? double(kernel) / double(elapsed) : 0.0;
    double u = elapsed ? double(user) / double(elapsed) : 0.0;
    auto rounded = [](double v) {
        double r = std::trunc(v + 0.5);
        return r > 999.0 ? 999 : int(r);
    };
    f.kernel_percent = rounded(k * 100);
    f.user_percent = rounded(u * 100);
    f.kernel_bar = clamp_bar(std::trunc(k * BAR_WIDTH + 0.5));
    f.user_bar = clamp_bar(std::trunc(u * BAR_WIDTH + 0.5));
    f.idle_percent = 100 - f.user_percent - f.kernel_percent;
    if (f.idle_percent < 0)
        f.idle_percent = 0;
    f.idle_bar = BAR_WIDTH - f.user_bar - f.kernel_bar;
    if (f.idle_bar < 0)
        f.idle_bar = 0;
    return f;
}

int response_ms(uint64_t poll_ticks, uint64_t ticks_per_ms, uint64_t poll_count)
{
    if (ticks_per_ms == 0 || poll_count == 0)
        return 0;
    return int(uint32_t((poll_ticks / ticks_per_ms) / poll_count));
}

int response_bar(int response)
{
    // The factor is single precision, so 100 ms stays just below a full bar.
    return clamp_bar(std::trunc(double(response) * double(0.01f) * BAR_WIDTH));
}

int kilobyte_bar(int kilobytes)
{
    return clamp_bar(std::trunc(double(kilobytes) * 0.015625 * BAR_WIDTH));
}

void draw_frames()
{
    write_row(0, 0, 6, Row().add(' ', 80));
    write_row(1, 7, 0, Row().add(BLOCK).add(UPPER_HALF, 38).add(BLOCK, 2).add(UPPER_HALF, 38).add(BLOCK));
    for (int row = 2; row <= 4; ++row)
        write_row(row, 7, 0, Row().add(BLOCK).add(' ', 38).add(BLOCK, 2).add(' ', 38).add(BLOCK));
    write_row(5, 7, 0, Row().add(UPPER_HALF, 80));
    write_row(6, 0, 7, Row().add("  #  Address                  SeqI SeqO   #  Address                  SeqI SeqO "));
    Row table;
    table.add(BLOCK).add(' ', 2).add(RIGHT_HALF).add(' ', 25).add(LEFT_HALF).add(' ', 4).add(LEFT_HALF)
        .add(' ', 4).add(RIGHT_HALF).add(LEFT_HALF).add(' ', 2).add(RIGHT_HALF).add(' ', 25).add(LEFT_HALF)
        .add(' ', 4).add(LEFT_HALF).add(' ', 4).add(BLOCK);
    for (int row = 7; row <= 14; ++row)
        write_row(row, 7, 4, table);
    write_row(15, 7, 0, Row().add(UPPER_HALF, 80));
    write_row(16, 7, 0, Row().add(BLOCK).add(UPPER_HALF, 31).add(BLOCK).add(' ', 14).add(BLOCK).add(UPPER_HALF, 31).add(BLOCK));
    for (int row = 17; row <= 21; ++row)
        write_row(row, 7, 0, Row().add(BLOCK).add(' ', 31).add(BLOCK).add(' ', 14).add(BLOCK).add(' ', 31).add(BLOCK));
    write_row(22, 7, 0, Row().add(UPPER_HALF, 33).add(' ', 14).add(UPPER_HALF, 33));
    Row overview;
    overview.add(" Overview ");
    for (int group = 0; group < 4; ++group)
        overview.add(VERTICAL).add(DOT, 16);
    overview.add(VERTICAL).add(' ');
    write_row(23, 0, 7, overview);
    write_row(24, 0, 6, Row().add(' ', 9).add(VERTICAL).add(' ', 60).add(VERTICAL).add(' ', 9));

    write_at(0, 0, 15, 1, " ORVA v1.0-32 ");
    write_at(12, 1, 0, 7, " System Loading ");
    write_at(3, 2, 10, 0, "Idle");
    write_at(36, 2, 10, 0, "%");
    write_at(3, 3, 9, 0, "Krnl");
    write_at(36, 3, 9, 0, "%");
    write_at(3, 4, 6, 0, "User");
    write_at(36, 4, 6, 0, "%");
    write_at(52, 1, 0, 7, " System Thruput ");
    write_at(43, 2, 10, 0, "Resp");
    write_at(75, 2, 10, 0, "ms");
    write_at(43, 3, 9, 0, "Inpt");
    write_at(75, 3, 9, 0, "ks");
    write_at(43, 4, 6, 0, "Outp");
    write_at(75, 4, 6, 0, "ks");
    write_at(6, 16, 0, 7, " Connect Statistics ");
    write_at(2, 17, 14, 0, "Total # of connections:");
    write_at(2, 18, 14, 0, "Number of last session:");
    write_at(2, 19, 14, 0, "Number of threads used:");
    write_at(2, 20, 14, 0, "Number of next session:");
    write_at(55, 16, 0, 7, " KELB Statistics ");
    write_at(49, 17, 14, 0, "Last SAP:");
    write_at(49, 18, 14, 0, "SAP servers on network:");
    write_at(49, 19, 14, 0, "Calls lost due to busy:");
    write_at(49, 20, 14, 0, "Calls lost to downtime:");
    write_at(1, 24, 15, 6, "F3=Exit");
    write_at(72, 24, 8, 6, "F1=Help");
}

void draw_loading_figures(const LoadingFigures* figures)
{
    if (!figures) {
        write_at(34, 2, 10, 0, "N/A");
        write_at(34, 3, 9, 0, "N/A");
        write_at(34, 4, 6, 0, "N/A");
        return;
    }
    set_colour(10, 0);
    move_cursor(33, 2);
    print_text("%3d", figures->idle_percent);
    set_colour(9, 0);
    move_cursor(33, 3);
    print_text("%3d", figures->kernel_percent);
    set_colour(6, 0);
    move_cursor(33, 4);
    print_text("%3d", figures->user_percent);
    set_colour(10, 0);
    write_bar(9, 2, figures->idle_bar);
    set_colour(9, 0);
    write_bar(9, 3, figures->kernel_bar);
    set_colour(6, 0);
    write_bar(9, 4, figures->user_bar);
}

void draw_loading()
{
    if (!host_is_nt() || !console_screen.process_times_taken) {
        draw_loading_figures(nullptr);
        return;
    }
    uint64_t wall = wall_time_100ns();
    ProcessTimes times = process_times();
    LoadingBaseline& base = console_screen.baseline;
    LoadingFigures figures = loading_figures(wall - base.wall, times.kernel_100ns - base.kernel,
                                             times.user_100ns - base.user);
    base = LoadingBaseline{wall, times.kernel_100ns, times.user_100ns};
    draw_loading_figures(&figures);
    console_screen.figures.idle_percent = figures.idle_percent;
    console_screen.figures.kernel_percent = figures.kernel_percent;
    console_screen.figures.user_percent = figures.user_percent;
}

void draw_connections(const StatusFigures& f)
{
    for (int k = 0; k < 8; ++k) {
        set_colour(15, 4);
        draw_line_cell(f.lines[2 * k], 2 * k, 1);
        draw_line_cell(f.lines[2 * k + 1], 2 * k + 1, 41);
    }
    char overview[17];
    for (int i = 0; i < 16; ++i)
        overview[i] = f.lines[i].state != 0 ? IN_USE : IDLE;
    overview[16] = 0;
    write_at(11, 23, 0, 7, overview);
    for (int i = 0; i < 16; ++i)
        overview[i] = f.lines[16 + i].state != 0 ? IN_USE : IDLE;
    write_at(28, 23, 0, 7, overview);
}

void draw_throughput(const StatusFigures& f)
{
    const ConsoleScreen& screen = console_screen;
    int response = screen.counter_present
        ? response_ms(f.poll_ticks, screen.ticks_per_ms, screen.poll_count) : 0;
    int input = int(f.refresh_input_bytes >> 10);
    int output = int(f.refresh_output_bytes >> 10);
    console_screen.figures.response_ms = response;
    console_screen.figures.input_kb = input;
    console_screen.figures.output_kb = output;

    set_colour(10, 0);
    move_cursor(70, 2);
    if (screen.counter_present)
        print_text("%4d", response);
    else
        write_text(" N/A");
    set_colour(9, 0);
    move_cursor(70, 3);
    print_text("%4d", input);
    set_colour(6, 0);
    move_cursor(70, 4);
    print_text("%4d", output);

    set_colour(10, 0);
    write_bar(49, 2, response_bar(response));
    set_colour(9, 0);
    write_bar(49, 3, kilobyte_bar(input));
    set_colour(6, 0);
    write_bar(49, 4, kilobyte_bar(output));
}

void draw_connect_stats(const StatusFigures& f)
{
    set_colour(14, 0);
    write_figure(26, 17, f.total_connections);
    write_figure(26, 18, f.last_session);
    write_figure(26, 19, f.threads_used);
    write_figure(26, 20, f.next_session);
}

void draw_board_stats(const StatusFigures& f)
{
    set_colour(14, 0);
    move_cursor(59, 17);
    const char* name = f.last_sap;
    if (!name[0]) {
        set_colour(9, 0);
        print_text("%-19s", "[None]");
        set_colour(14, 0);
    } else {
        print_text("%-19.19s", name);
    }
    write_figure(73, 18, f.sap_servers);
    write_figure(73, 19, f.calls_lost_busy);
    write_figure(73, 20, f.calls_lost_downtime);
}

void draw_shutdown_notice()
{
    if (running_flag.get())
        return;
    write_at(10, 24, 15, 6, "                 ORVA is shutting down ...                  ");
}

void draw_date_time()
{
    time_t seconds = time_t(console_screen.last_refresh_time);
    struct tm local;
    if (!localtime_r(&seconds, &local))
        std::memset(&local, 0, sizeof local);
    char text[16];
    if (std::strftime(text, sizeof text, "%d %b '%y", &local) == 0)
        text[0] = 0;
    write_at(35, 18, 15, 0, text);
    if (std::strftime(text, sizeof text, "%H:%M:%S", &local) == 0)
        text[0] = 0;
    write_at(36, 20, 15, 0, text);
}
