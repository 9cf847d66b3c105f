// The status page: frames, titles and labels, and the value fields that
// every refresh redraws into the current screen buffer.
#pragma once

#include <cstdint>

#include "stats/statistics_board.h"

// Figures of the System Loading box.
struct LoadingFigures {
    int idle_percent;
    int kernel_percent;
    int user_percent;
    int idle_bar;
    int kernel_bar;
    int user_bar;
};

constexpr int BAR_WIDTH = 21;

// Percents and bar lengths from the time elapsed and the kernel and user
// time used in it (any one unit).
LoadingFigures loading_figures(uint64_t elapsed, uint64_t kernel, uint64_t user);

// Milliseconds of the dispatcher's last poll divided by the console polls
// since the last refresh; 0 when either divisor is 0.
int response_ms(uint64_t poll_ticks, uint64_t ticks_per_ms, uint64_t poll_count);
int response_bar(int response);
// Bar of a kilobyte count, full at 64 KB.
int kilobyte_bar(int kilobytes);

void draw_frames();
void draw_loading();
// The loading values without sampling: "N/A" three times when figures is null.
void draw_loading_figures(const LoadingFigures* figures);
// The boxes drawn from the board's figures, copied once per refresh.
void draw_connections(const StatusFigures& figures);
void draw_throughput(const StatusFigures& figures);
void draw_connect_stats(const StatusFigures& figures);
void draw_board_stats(const StatusFigures& figures);
void draw_shutdown_notice();
void draw_date_time();
