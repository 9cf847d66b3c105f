#include "stats/statistics_board.h"

#include <cstring>

namespace {
void copy_bounded(char* to, const char* from, size_t max_chars)
{
    size_t n = from ? strnlen(from, max_chars) : 0;
    std::memcpy(to, from, n);
    to[n] = 0;
}
}

StatisticsBoard::StatisticsBoard()
{
    clear();
}

LineEntry* StatisticsBoard::entry(int line)
{
    return line >= 1 && line <= LINE_COUNT ? &lines_[line - 1] : nullptr;
}

void StatisticsBoard::set_line_address(int line, const char* text)
{
    MutexHold hold(lock_);
    if (LineEntry* e = entry(line))
        copy_bounded(e->address, text, sizeof e->address - 1);
}

void StatisticsBoard::set_line_state(int line, int state)
{
    MutexHold hold(lock_);
    if (LineEntry* e = entry(line))
        e->state = state;
}

void StatisticsBoard::set_line_seq_in(int line, uint16_t sequence)
{
    MutexHold hold(lock_);
    if (LineEntry* e = entry(line))
        e->seq_in = sequence;
}

void StatisticsBoard::set_line_seq_out(int line, uint16_t sequence)
{
    MutexHold hold(lock_);
    if (LineEntry* e = entry(line))
        e->seq_out = sequence;
}

void StatisticsBoard::add_input_bytes(int count)
{
    MutexHold hold(lock_);
    input_bytes_ += uint32_t(count);
    input_bytes_total_ += uint64_t(count);
}

void StatisticsBoard::add_output_bytes(int count)
{
    MutexHold hold(lock_);
    output_bytes_ += uint32_t(count);
    output_bytes_total_ += uint64_t(count);
}

uint32_t StatisticsBoard::take_input_bytes()
{
    MutexHold hold(lock_);
    uint32_t n = input_bytes_;
    input_bytes_ = 0;
    return n;
}

uint32_t StatisticsBoard::take_output_bytes()
{
    MutexHold hold(lock_);
    uint32_t n = output_bytes_;
    output_bytes_ = 0;
    return n;
}

void StatisticsBoard::set_poll_ticks(uint64_t ticks)
{
    MutexHold hold(lock_);
    poll_ticks_ = ticks;
}

void StatisticsBoard::set_threads_used(int count)
{
    MutexHold hold(lock_);
    threads_used_ = count;
}

void StatisticsBoard::set_total_connections(uint16_t value)
{
    MutexHold hold(lock_);
    total_connections_ = value;
}

void StatisticsBoard::set_last_session(uint16_t value)
{
    MutexHold hold(lock_);
    last_session_ = value;
}

void StatisticsBoard::set_next_session(uint16_t value)
{
    MutexHold hold(lock_);
    next_session_ = value;
}

void StatisticsBoard::set_calls_lost_downtime(uint16_t value)
{
    MutexHold hold(lock_);
    calls_lost_downtime_ = value;
}

void StatisticsBoard::count_call_lost_busy()
{
    MutexHold hold(lock_);
    ++calls_lost_busy_;
}

void StatisticsBoard::set_last_sap(const char* name)
{
    MutexHold hold(lock_);
    copy_bounded(last_sap_, name, sizeof last_sap_ - 1);
}

void StatisticsBoard::set_sap_servers(int count)
{
    MutexHold hold(lock_);
    sap_servers_ = count;
}

void StatisticsBoard::set_callers(int count)
{
    MutexHold hold(lock_);
    callers_ = count;
}

void StatisticsBoard::count_caller_refused()
{
    MutexHold hold(lock_);
    ++callers_refused_;
}

void StatisticsBoard::clear()
{
    MutexHold hold(lock_);
    total_connections_ = last_session_ = next_session_ = 0;
    threads_used_ = 0;
    calls_lost_downtime_ = calls_lost_busy_ = 0;
    last_sap_[0] = 0;
    sap_servers_ = 0;
    input_bytes_ = output_bytes_ = 0;
    poll_ticks_ = 0;
    callers_ = 0;
    callers_refused_ = 0;
    input_bytes_total_ = output_bytes_total_ = 0;
    std::memset(lines_, 0, sizeof lines_);
}

StatisticsBoard stats_board;
