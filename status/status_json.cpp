#include "status/status_json.h"

#include <cstdio>

#include "status/figure_table.h"

std::string json_string(const char* text)
{
    std::string out = "\"";
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        unsigned char c = *p;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", c);
            out += escape;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

namespace {
void add_number(std::string& out, const char* name, long long value)
{
    out += "  \"";
    out += name;
    out += "\": " + std::to_string(value) + ",\n";
}
}

std::string status_json(const StatusFigures& f, const PageImage* page)
{
    PageFigures shown = page ? page->figures : PageFigures{};
    std::string out = "{\n";
    add_number(out, "refreshed", page ? page->refreshed : 0);
    add_number(out, "idle_percent", shown.idle_percent);
    add_number(out, "kernel_percent", shown.kernel_percent);
    add_number(out, "user_percent", shown.user_percent);
    add_number(out, "response_ms", shown.response_ms);
    add_number(out, "input_kb", shown.input_kb);
    add_number(out, "output_kb", shown.output_kb);
    for (const FigureRow& row : figure_table()) {
        if (row.text)
            out += std::string("  \"") + row.json_key + "\": " + json_string(row.text(f)) + ",\n";
        else
            add_number(out, row.json_key, row.number(f));
    }
    out += "  \"lines\": [\n";
    for (int i = 0; i < LINE_COUNT; ++i) {
        const LineEntry& line = f.lines[i];
        char numbers[96];
        std::snprintf(numbers, sizeof numbers, "    {\"line\": %d, \"state\": \"%s\", \"seq_in\": %u, \"seq_out\": %u, \"address\": ",
                      i + 1, line.state == LINE_CONNECTED ? "connected" : "idle", unsigned(line.seq_in),
                      unsigned(line.seq_out));
        out += numbers;
        // As the page: an idle line shows no caller, whatever it kept.
        out += json_string(line.state == LINE_CONNECTED ? line.address : "");
        out += i + 1 < LINE_COUNT ? "},\n" : "}\n";
    }
    out += "  ]\n}\n";
    return out;
}
