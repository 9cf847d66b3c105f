#include "status/status_snapshot.h"

#include <cstring>

namespace {
void copy_text(char* to, size_t size, const char* from)
{
    size_t n = strnlen(from, size - 1);
    std::memcpy(to, from, n);
    to[n] = 0;
}
}

int StatusSnapshot::lines_connected() const
{
    int n = 0;
    for (const LineEntry& line : lines)
        n += line.state == LINE_CONNECTED;
    return n;
}

void take_status_snapshot(StatusSnapshot& out)
{
    StatisticsBoard& board = stats_board;
    board.begin_display();
    out.total_connections = board.total_connections();
    out.last_session = board.last_session();
    out.next_session = board.next_session();
    out.threads_used = board.threads_used();
    out.callers = board.callers();
    out.calls_lost_busy = board.calls_lost_busy();
    out.calls_lost_downtime = board.calls_lost_downtime();
    out.callers_refused = board.callers_refused();
    copy_text(out.last_sap, sizeof out.last_sap, board.last_sap());
    out.sap_servers = board.sap_servers();
    out.input_bytes_total = board.input_bytes_total();
    out.output_bytes_total = board.output_bytes_total();
    for (int i = 0; i < LINE_COUNT; ++i) {
        LineEntry& line = out.lines[i];
        copy_text(line.address, sizeof line.address, board.line_address(i));
        line.state = board.line_state(i);
        line.seq_in = board.line_seq_in(i);
        line.seq_out = board.line_seq_out(i);
    }
    board.end_display();
}
