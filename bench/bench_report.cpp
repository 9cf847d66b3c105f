#include "bench/bench_report.h"

#include <fstream>
#include <sstream>

namespace {

std::string number(double v, int decimals = 2)
{
    if (std::isnan(v))
        return "-";
    char t[64];
    std::snprintf(t, sizeof t, "%.*f", decimals, v);
    return t;
}

std::string json_number(double v)
{
    if (std::isnan(v) || std::isinf(v))
        return "null";
    char t[64];
    std::snprintf(t, sizeof t, "%.6g", v);
    return t;
}

std::string ratio(double a, double b)
{
    if (std::isnan(a) || std::isnan(b) || b == 0)
        return "-";
    return number(a / b, 2) + "x";
}

}

std::string json_string(const std::string& text)
{
    std::string s = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            s += '\\';
            s += static_cast<char>(c);
        } else if (c < 0x20) {
            char t[8];
            std::snprintf(t, sizeof t, "\\u%04x", c);
            s += t;
        } else {
            s += static_cast<char>(c);
        }
    }
    return s + "\"";
}

int BenchReport::verdict(const Figure& f)
{
    const double limit = std::isnan(f.times_ser2net) ? f.limit : f.times_ser2net * f.ser2net;
    if (std::isnan(limit))
        return -1;
    if (std::isnan(f.orva))
        return 0;
    return (f.higher_is_better ? f.orva >= limit : f.orva <= limit) ? 1 : 0;
}

bool BenchReport::all_intact() const
{
    for (const auto& c : checks_)
        if (!c.intact())
            return false;
    return !checks_.empty();
}

void BenchReport::print(std::FILE* out) const
{
    std::fprintf(out, "%-62s %-6s %10s %10s %10s %9s %9s  %-11s %s\n", "Figure", "Unit", "ORVA", "ser2net",
                 "direct", "ORVA/s2n", "ORVA/dir", "Target", "");
    std::fprintf(out, "%s\n", std::string(141, '-').c_str());
    for (const auto& f : figures_) {
        const int v = verdict(f);
        const int decimals = f.unit == "ms" ? 2 : (f.unit == "%core" ? 1 : 0);
        std::fprintf(out, "%-62s %-6s %10s %10s %10s %9s %9s  %-11s %s\n", f.label.c_str(), f.unit.c_str(),
                     number(f.orva, decimals).c_str(), number(f.ser2net, decimals).c_str(),
                     number(f.direct, decimals).c_str(), ratio(f.orva, f.ser2net).c_str(),
                     ratio(f.orva, f.direct).c_str(), f.target.c_str(), v < 0 ? "" : (v ? "pass" : "MISS"));
    }
    std::fprintf(out, "\n%-62s %-8s %12s %14s %8s  %s\n", "Integrity (every byte checked)", "Peer", "Lines intact",
                 "Bytes in order", "Extra", "Verdict");
    std::fprintf(out, "%s\n", std::string(141, '-').c_str());
    for (const auto& c : checks_) {
        std::fprintf(out, "%-62s %-8s %12s %14ld %8ld  %s\n", c.label.c_str(), c.peer.c_str(),
                     (std::to_string(c.intact_lines) + "/" + std::to_string(c.lines)).c_str(), c.bytes_in_order,
                     c.bytes_extra, c.intact() ? "pass" : ("MISS: " + c.first_error).c_str());
    }
    std::fprintf(out, "\n");
    for (const auto& [k, v] : notes_)
        std::fprintf(out, "%s: %s\n", k.c_str(), v.c_str());
}

bool BenchReport::write_json(const std::string& path) const
{
    std::ostringstream j;
    j << "{\n  \"notes\": {";
    for (size_t i = 0; i < notes_.size(); ++i)
        j << (i ? ",\n" : "\n") << "    " << json_string(notes_[i].first) << ": " << json_string(notes_[i].second);
    j << "\n  },\n  \"figures\": [";
    for (size_t i = 0; i < figures_.size(); ++i) {
        const Figure& f = figures_[i];
        const int v = verdict(f);
        j << (i ? ",\n" : "\n") << "    {\"key\": " << json_string(f.key) << ", \"label\": " << json_string(f.label)
          << ", \"unit\": " << json_string(f.unit) << ", \"orva\": " << json_number(f.orva)
          << ", \"ser2net\": " << json_number(f.ser2net) << ", \"direct\": " << json_number(f.direct)
          << ", \"target\": " << json_string(f.target)
          << ", \"verdict\": " << (v < 0 ? "null" : (v ? "\"pass\"" : "\"miss\"")) << "}";
    }
    j << "\n  ],\n  \"integrity\": [";
    for (size_t i = 0; i < checks_.size(); ++i) {
        const IntegrityCheck& c = checks_[i];
        j << (i ? ",\n" : "\n") << "    {\"key\": " << json_string(c.key) << ", \"label\": " << json_string(c.label)
          << ", \"peer\": " << json_string(c.peer) << ", \"lines\": " << c.lines
          << ", \"intact_lines\": " << c.intact_lines << ", \"bytes_expected\": " << c.bytes_expected
          << ", \"bytes_in_order\": " << c.bytes_in_order << ", \"bytes_extra\": " << c.bytes_extra
          << ", \"method\": " << json_string(c.method) << ", \"first_error\": " << json_string(c.first_error)
          << ", \"intact\": " << (c.intact() ? "true" : "false") << "}";
    }
    j << "\n  ],\n  \"all_intact\": " << (all_intact() ? "true" : "false") << "\n}\n";
    std::ofstream out(path, std::ios::trunc);
    out << j.str();
    return static_cast<bool>(out);
}
