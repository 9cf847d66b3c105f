// The statistics board's figures, copied in one go under the board's lock so
// that everything made from them is made outside it.
#pragma once

#include <cstdint>

#include "stats/statistics_board.h"

struct StatusSnapshot {
    uint16_t total_connections;
    uint16_t last_session;
    uint16_t next_session;
    int threads_used;
    int callers;
    uint16_t calls_lost_busy;
    uint16_t calls_lost_downtime;
    uint32_t callers_refused;
    char last_sap[64];
    int sap_servers;
    uint64_t input_bytes_total;
    uint64_t output_bytes_total;
    LineEntry lines[LINE_COUNT];

    int lines_connected() const;
};

void take_status_snapshot(StatusSnapshot& out);
