// StatusFigures, the figures and line table that the status page shows, and
// the StatisticsBoard that holds them under one lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "port/locks.h"

constexpr int LINE_COUNT = 96;
constexpr int LINE_IDLE = 0;
constexpr int LINE_CONNECTED = 1;

struct LineEntry {
    char address[256];
    int32_t state;
    uint16_t seq_in;
    uint16_t seq_out;
};

// One plain value: readers take a copy and make their page, JSON or metrics
// from it outside the board's lock. Zero-initialised ({}) is the cleared board.
struct StatusFigures {
    uint16_t total_connections;
    uint16_t last_session;
    uint16_t next_session;
    int32_t threads_used;
    int32_t callers;
    // Of the callers, those who came by SSH.
    int32_t callers_ssh;
    // Of the callers, those who came from a web page.
    int32_t callers_web;
    uint16_t calls_lost_busy;
    uint16_t calls_lost_downtime;
    // Callers refused, for whatever reason (not shown on the page).
    uint32_t callers_refused;
    char last_sap[64];
    int32_t sap_servers;
    // Ticks the main loop's last pass took.
    uint64_t poll_ticks;
    // Bytes since the console's last refresh, which starts them again at zero.
    uint32_t refresh_input_bytes;
    uint32_t refresh_output_bytes;
    // Every byte since start-up, whatever the refreshes took.
    uint64_t input_bytes_total;
    uint64_t output_bytes_total;
    // Index i is line i + 1.
    LineEntry lines[LINE_COUNT];

    int lines_connected() const;
};

// from cut to fit in to with its terminator; null reads as empty.
template <size_t N>
void copy_text(char (&to)[N], const char* from)
{
    const size_t n = from ? strnlen(from, N - 1) : 0;
    if (n > 0)
        std::memcpy(to, from, n);
    to[n] = 0;
}

// Writers change the figures with update (or update_line, add_*_bytes), each
// one hold of the board lock; the change must be quick and take no lock.
class StatisticsBoard {
public:
    StatisticsBoard() { clear(); }

    // A copy of every figure, taken in one go.
    StatusFigures figures() const;
    // The same for a console refresh: the refresh byte counts start again
    // at zero, so each byte shows in one refresh only.
    StatusFigures take_refresh();

    template <class F>
    void update(F change)
    {
        MutexHold hold(lock_);
        change(figures_);
    }

    // change(LineEntry&) for line 1..96; other numbers are ignored.
    template <class F>
    void update_line(int line, F change)
    {
        if (line < 1 || line > LINE_COUNT)
            return;
        MutexHold hold(lock_);
        change(figures_.lines[line - 1]);
    }

    // Bytes relayed, counted for the refresh and in the total.
    void add_input_bytes(int count);
    void add_output_bytes(int count);

    void clear();

private:
    mutable Mutex lock_;
    StatusFigures figures_;
};

extern StatisticsBoard stats_board;
