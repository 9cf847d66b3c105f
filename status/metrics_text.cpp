#include "status/metrics_text.h"

#include "status/figure_table.h"

namespace {
// HELP text escapes its backslashes and line breaks.
std::string escaped_help(const char* help)
{
    std::string out;
    for (const char* p = help; *p; ++p) {
        if (*p == '\\')
            out += "\\\\";
        else if (*p == '\n')
            out += "\\n";
        else
            out += *p;
    }
    return out;
}
}

std::string metrics_text(const StatusFigures& f)
{
    std::string out;
    for (const FigureRow& row : figure_table()) {
        if (!row.metric_name)
            continue;
        const std::string name = row.metric_name;
        out += "# HELP " + name + " " + escaped_help(row.help) + "\n";
        out += "# TYPE " + name + (row.type == FigureType::Counter ? " counter\n" : " gauge\n");
        out += name + " " + std::to_string(row.number(f)) + "\n";
    }
    return out;
}
