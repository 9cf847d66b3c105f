// /status.json and /metrics made from the one table of figures: every name,
// help text, type and value as monitoring set up against them expects.
#include <gtest/gtest.h>
#include <string>

#include "status/metrics_text.h"
#include "status/status_json.h"

namespace {

struct Shown {
    const char* json_key;
    const char* metric_name; // null: the JSON only
    const char* help;
    const char* type;
    const char* value;
};

// Figures that all differ, so a row reading the wrong member shows.
StatusFigures distinct_figures()
{
    StatusFigures f{};
    f.total_connections = 65535;
    f.last_session = 12;
    f.next_session = 13;
    f.threads_used = -4;
    f.callers = 3;
    f.callers_ssh = 9;
    f.callers_web = 14;
    f.calls_lost_busy = 5;
    f.calls_lost_downtime = 6;
    f.callers_refused = 4000000000u;
    copy_text(f.last_sap, "KELB \"main\"");
    f.sap_servers = 7;
    f.refresh_input_bytes = 11;
    f.input_bytes_total = 0x123456789ull;
    f.output_bytes_total = 8;
    f.lines[0].state = LINE_CONNECTED;
    f.lines[95].state = LINE_CONNECTED;
    f.lines[1].state = 7;
    return f;
}

TEST(FigureTable, JsonAndMetricsShowEveryFigure)
{
    const Shown shown[] = {
        {"total_connections", "orva_connections_total", "Callers accepted, carried on across runs in orva.dat.",
         "counter", "65535"},
        {"last_session", "orva_last_session", "Session number of the call that ended last.", "gauge", "12"},
        {"next_session", nullptr, nullptr, nullptr, "13"},
        {"threads_used", "orva_threads_used", "Worker threads running now.", "gauge", "-4"},
        {"callers", "orva_callers", "Callers connected now.", "gauge", "3"},
        {"callers_ssh", "orva_callers_ssh", "Of the callers connected now, those who came by SSH.", "gauge", "9"},
        {"callers_web", "orva_callers_web", "Of the callers connected now, those who came from a web page.", "gauge",
         "14"},
        {"lines_connected", "orva_lines_connected", "Board host lines connected to a caller now.", "gauge", "2"},
        {"calls_lost_busy", "orva_calls_lost_busy_total",
         "Callers turned away because the board host had no free line.", "counter", "5"},
        {"calls_lost_downtime", "orva_calls_lost_downtime_total",
         "Callers turned away because no board host was known.", "counter", "6"},
        {"callers_refused", "orva_callers_refused_total",
         "Callers refused: by access control, past MaxCalls, or without a session.", "counter", "4000000000"},
        {"sap_servers", "orva_sap_servers", "Servers in the SAP network list.", "gauge", "7"},
        {"last_sap", nullptr, nullptr, nullptr, "\"KELB \\\"main\\\"\""},
        {"input_bytes", "orva_input_bytes_total", "Bytes from callers handed to the board host.", "counter",
         "4886718345"},
        {"output_bytes", "orva_output_bytes_total", "Bytes from the board host handed to callers.", "counter", "8"},
    };
    const StatusFigures f = distinct_figures();
    const std::string json = status_json(f, nullptr);
    const std::string metrics = metrics_text(f);

    size_t previous_key = json.find("\"output_kb\": 0,\n");
    ASSERT_NE(previous_key, std::string::npos) << json;
    int families = 0;
    for (const Shown& s : shown) {
        // The keys keep their order, after the page's figures and before the lines.
        size_t key = json.find("  \"" + std::string(s.json_key) + "\": " + s.value + ",\n");
        EXPECT_NE(key, std::string::npos) << s.json_key << "\n" << json;
        EXPECT_GT(key, previous_key) << s.json_key;
        previous_key = key;
        if (!s.metric_name)
            continue;
        ++families;
        const std::string name = s.metric_name;
        const std::string family = "# HELP " + name + " " + s.help + "\n# TYPE " + name + " " + s.type + "\n" +
                                   name + " " + s.value + "\n";
        EXPECT_NE(metrics.find(family), std::string::npos) << family << "in\n" << metrics;
    }
    EXPECT_LT(previous_key, json.find("\"lines\": [")) << json;
    size_t helps = 0;
    for (size_t at = metrics.find("# HELP "); at != std::string::npos; at = metrics.find("# HELP ", at + 1))
        ++helps;
    EXPECT_EQ(helps, size_t(families)) << "no metric beyond the known ones:\n" << metrics;
    EXPECT_EQ(json.find("refresh_"), std::string::npos) << "the console's per-refresh bytes stay its own";
}

}
