// StatisticsBoard: the figures and line table that the status page shows.
#pragma once

#include <cstdint>

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

// Writers post with the setters, each under the board lock. The console reads
// with the plain getters between begin_display and end_display; the lock is
// re-entrant so take_*_bytes may be called inside that bracket.
class StatisticsBoard {
public:
    StatisticsBoard();

    // Lines are numbered 1..96; others are ignored.
    void set_line_address(int line, const char* text);
    void set_line_state(int line, int state);
    void set_line_seq_in(int line, uint16_t sequence);
    void set_line_seq_out(int line, uint16_t sequence);

    void add_input_bytes(int count);
    void add_output_bytes(int count);
    uint32_t take_input_bytes();
    uint32_t take_output_bytes();

    void set_poll_ticks(uint64_t ticks);
    void set_threads_used(int count);
    void set_total_connections(uint16_t value);
    void set_last_session(uint16_t value);
    void set_next_session(uint16_t value);
    void set_calls_lost_downtime(uint16_t value);
    void count_call_lost_busy();
    void set_last_sap(const char* name);
    void set_sap_servers(int count);
    void set_callers(int count);
    // A caller turned away by access control (not shown on the page).
    void count_caller_refused();

    void clear();

    void begin_display() { lock_.lock(); }
    void end_display() { lock_.unlock(); }

    // Display getters: no lock of their own; index i (0..95) is line i + 1.
    const char* line_address(int i) const { return lines_[i].address; }
    int line_state(int i) const { return lines_[i].state; }
    uint16_t line_seq_in(int i) const { return lines_[i].seq_in; }
    uint16_t line_seq_out(int i) const { return lines_[i].seq_out; }
    uint64_t poll_ticks() const { return poll_ticks_; }
    int threads_used() const { return threads_used_; }
    uint16_t total_connections() const { return total_connections_; }
    uint16_t last_session() const { return last_session_; }
    uint16_t next_session() const { return next_session_; }
    uint16_t calls_lost_busy() const { return calls_lost_busy_; }
    uint16_t calls_lost_downtime() const { return calls_lost_downtime_; }
    const char* last_sap() const { return last_sap_; }
    int sap_servers() const { return sap_servers_; }
    int callers() const { return callers_; }
    uint32_t callers_refused() const { return callers_refused_; }
    // Every byte since start-up, whatever the refreshes took.
    uint64_t input_bytes_total() const { return input_bytes_total_; }
    uint64_t output_bytes_total() const { return output_bytes_total_; }

private:
    LineEntry* entry(int line);

    Mutex lock_;
    uint16_t total_connections_;
    uint16_t last_session_;
    uint16_t next_session_;
    int32_t threads_used_;
    uint16_t calls_lost_downtime_;
    uint16_t calls_lost_busy_;
    char last_sap_[64];
    int32_t sap_servers_;
    uint32_t input_bytes_;
    uint32_t output_bytes_;
    uint64_t poll_ticks_;
    int32_t callers_;
    uint32_t callers_refused_;
    uint64_t input_bytes_total_;
    uint64_t output_bytes_total_;
    LineEntry lines_[LINE_COUNT];
};

extern StatisticsBoard stats_board;
