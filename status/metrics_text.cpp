#include "status/metrics_text.h"

#include <sstream>
#include <vector>

#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

namespace {
void add(std::vector<prometheus::MetricFamily>& families, const char* name, const char* help,
         prometheus::MetricType type, double value)
{
    prometheus::ClientMetric metric;
    if (type == prometheus::MetricType::Counter)
        metric.counter.value = value;
    else
        metric.gauge.value = value;
    families.push_back(prometheus::MetricFamily{name, help, type, {metric}});
}
}

std::string metrics_text(const StatusSnapshot& f)
{
    using prometheus::MetricType;
    std::vector<prometheus::MetricFamily> families;
    // The board's totals are its own: the connection total is the 16-bit one
    // carried on in orva.dat, so a wrap reads as a counter reset.
    add(families, "orva_connections_total", "Callers accepted, carried on across runs in orva.dat.",
        MetricType::Counter, f.total_connections);
    add(families, "orva_calls_lost_busy_total", "Callers turned away because the board host had no free line.",
        MetricType::Counter, f.calls_lost_busy);
    add(families, "orva_calls_lost_downtime_total", "Callers turned away because no board host was known.",
        MetricType::Counter, f.calls_lost_downtime);
    add(families, "orva_callers_refused_total", "Callers refused: by access control, past MaxCalls, or without a session.",
        MetricType::Counter, f.callers_refused);
    add(families, "orva_input_bytes_total", "Bytes from callers handed to the board host.",
        MetricType::Counter, double(f.input_bytes_total));
    add(families, "orva_output_bytes_total", "Bytes from the board host handed to callers.",
        MetricType::Counter, double(f.output_bytes_total));
    add(families, "orva_callers", "Callers connected now.", MetricType::Gauge, f.callers);
    add(families, "orva_lines_connected", "Board host lines connected to a caller now.",
        MetricType::Gauge, f.lines_connected());
    add(families, "orva_threads_used", "Worker threads running now.", MetricType::Gauge, f.threads_used);
    add(families, "orva_sap_servers", "Servers in the SAP network list.", MetricType::Gauge, f.sap_servers);
    add(families, "orva_last_session", "Session number of the call that ended last.",
        MetricType::Gauge, f.last_session);

    std::ostringstream out;
    prometheus::TextSerializer().Serialize(out, families);
    return out.str();
}
