#include "status/figure_table.h"

namespace {
template <auto Member>
long long member(const StatusFigures& f)
{
    return static_cast<long long>(f.*Member);
}

long long lines_connected(const StatusFigures& f)
{
    return f.lines_connected();
}

const char* last_sap(const StatusFigures& f)
{
    return f.last_sap;
}

using S = StatusFigures;
constexpr FigureType COUNTER = FigureType::Counter;
constexpr FigureType GAUGE = FigureType::Gauge;

// The connection total is the 16-bit one carried on in orva.dat, so a wrap
// reads as a counter reset.
const FigureRow ROWS[] = {
    {"total_connections", "orva_connections_total", "Callers accepted, carried on across runs in orva.dat.",
     COUNTER, member<&S::total_connections>, nullptr},
    {"last_session", "orva_last_session", "Session number of the call that ended last.",
     GAUGE, member<&S::last_session>, nullptr},
    {"next_session", nullptr, "Session number the next caller gets.", GAUGE, member<&S::next_session>, nullptr},
    {"threads_used", "orva_threads_used", "Worker threads running now.", GAUGE, member<&S::threads_used>, nullptr},
    {"callers", "orva_callers", "Callers connected now.", GAUGE, member<&S::callers>, nullptr},
    {"callers_ssh", "orva_callers_ssh", "Of the callers connected now, those who came by SSH.",
     GAUGE, member<&S::callers_ssh>, nullptr},
    {"callers_web", "orva_callers_web", "Of the callers connected now, those who came from a web page.",
     GAUGE, member<&S::callers_web>, nullptr},
    {"lines_connected", "orva_lines_connected", "Board host lines connected to a caller now.",
     GAUGE, lines_connected, nullptr},
    {"calls_lost_busy", "orva_calls_lost_busy_total", "Callers turned away because the board host had no free line.",
     COUNTER, member<&S::calls_lost_busy>, nullptr},
    {"calls_lost_downtime", "orva_calls_lost_downtime_total", "Callers turned away because no board host was known.",
     COUNTER, member<&S::calls_lost_downtime>, nullptr},
    {"callers_refused", "orva_callers_refused_total",
     "Callers refused: by access control, past MaxCalls, or without a session.",
     COUNTER, member<&S::callers_refused>, nullptr},
    {"sap_servers", "orva_sap_servers", "Servers in the SAP network list.", GAUGE, member<&S::sap_servers>, nullptr},
    {"last_sap", nullptr, "Name of the board host heard last.", FigureType::Text, nullptr, last_sap},
    {"input_bytes", "orva_input_bytes_total", "Bytes from callers handed to the board host.",
     COUNTER, member<&S::input_bytes_total>, nullptr},
    {"output_bytes", "orva_output_bytes_total", "Bytes from the board host handed to callers.",
     COUNTER, member<&S::output_bytes_total>, nullptr},
};
}

std::span<const FigureRow> figure_table()
{
    return ROWS;
}
