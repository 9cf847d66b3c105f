#include "status/metrics_text.h"

#include <sstream>
#include <vector>

#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include "status/figure_table.h"

std::string metrics_text(const StatusFigures& f)
{
    std::vector<prometheus::MetricFamily> families;
    for (const FigureRow& row : figure_table()) {
        if (!row.metric_name)
            continue;
        prometheus::ClientMetric metric;
        double value = double(row.number(f));
        prometheus::MetricType type = prometheus::MetricType::Gauge;
        if (row.type == FigureType::Counter) {
            type = prometheus::MetricType::Counter;
            metric.counter.value = value;
        } else {
            metric.gauge.value = value;
        }
        families.push_back(prometheus::MetricFamily{row.metric_name, row.help, type, {metric}});
    }
    std::ostringstream out;
    prometheus::TextSerializer().Serialize(out, families);
    return out.str();
}
