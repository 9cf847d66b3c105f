#include "stats/statistics_board.h"

int StatusFigures::lines_connected() const
{
    int n = 0;
    for (const LineEntry& line : lines)
        n += line.state == LINE_CONNECTED;
    return n;
}

StatusFigures StatisticsBoard::figures() const
{
    MutexHold hold(lock_);
    return figures_;
}

StatusFigures StatisticsBoard::take_refresh()
{
    MutexHold hold(lock_);
    StatusFigures copy = figures_;
    figures_.refresh_input_bytes = 0;
    figures_.refresh_output_bytes = 0;
    return copy;
}

void StatisticsBoard::add_input_bytes(int count)
{
    MutexHold hold(lock_);
    figures_.refresh_input_bytes += uint32_t(count);
    figures_.input_bytes_total += uint64_t(count);
}

void StatisticsBoard::add_output_bytes(int count)
{
    MutexHold hold(lock_);
    figures_.refresh_output_bytes += uint32_t(count);
    figures_.output_bytes_total += uint64_t(count);
}

void StatisticsBoard::clear()
{
    MutexHold hold(lock_);
    figures_ = StatusFigures{};
}

StatisticsBoard stats_board;
