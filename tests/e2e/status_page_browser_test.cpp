// The status server against the console it mirrors: orva showing its page
// in an 80x25 tmux pane, the board host simulator, callers on loopback, the
// page opened in headless Chromium and the metrics checked by promtool.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <tuple>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "tests/support/adapter_test.h"
#include "tests/support/http_client.h"
#include "tests/support/tmux_pane.h"

using namespace support;
using support::LoopbackCaller;

namespace {

using Rows = std::vector<std::u32string>;

// The number after key ("name " at a line's start of the metrics,
// "\"name\": " in the JSON); -1 if none.
long long metric(const std::string& text, const std::string& name)
{
    size_t at = text.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + name.size() + 2);
}
long long json_number(const std::string& json, const std::string& name, size_t from = 0)
{
    size_t at = json.find("\"" + name + "\": ", from);
    return at == std::string::npos ? -1 : std::atoll(json.c_str() + at + name.size() + 4);
}

// The console's text at (column, row), spaces trimmed, non-ASCII as '?'.
std::string text_at(const Rows& rows, size_t column, size_t row, size_t width)
{
    std::string out;
    for (char32_t c : at(rows, column, row, width))
        out += c < 0x80 ? char(c) : '?';
    out.erase(out.find_last_not_of(' ') + 1);
    return out.erase(0, out.find_first_not_of(' '));
}

// The rows of the page's <pre id="screen"> in the DOM Chromium dumped.
Rows dom_rows(const std::string& dom)
{
    size_t start = dom.find("<pre id=\"screen\">"), end = dom.find("</pre>", start);
    if (start == std::string::npos || end == std::string::npos)
        return {};
    std::string text;
    for (size_t i = dom.find('>', start) + 1; i < end; ++i) {
        if (dom[i] == '<')
            i = dom.find('>', i);
        else if (dom[i] != '&')
            text += dom[i];
        else
            for (auto [entity, c] : {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}, {"&nbsp;", "\u00A0"}})
                if (dom.compare(i, std::strlen(entity), entity) == 0) {
                    text += c;
                    i += std::strlen(entity) - 1;
                }
    }
    Rows rows;
    for (size_t from = 0, nl = 0; nl != std::string::npos; from = nl + 1)
        rows.push_back(decode_utf8(text.substr(from, (nl = text.find('\n', from)) - from)));
    return rows;
}

class StatusPageInBrowser : public testing::Test {
protected:
    void SetUp() override
    {
#ifdef ORVA_E2E_SANITIZED
        GTEST_SKIP() << "Chromium and promtool run against the plain build only: too slow under sanitizers";
#endif
        // The test script installs these; a missing tool is a failure, not a skip.
        ASSERT_EQ(std::system("test -x /usr/bin/chromium && command -v promtool >/dev/null"), 0)
            << "chromium and promtool are needed (scripts/install-deps.sh test)";
    }

    void TearDown() override { board.reset(); }

    // Chromium, headless and with a profile of its own, on the status page.
    std::vector<std::string> chromium(const std::string& action)
    {
        return {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                "--no-first-run", "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--user-data-dir=" + dir.file("chromium-profile"), action,
                "http://127.0.0.1:" + std::to_string(http_port) + "/"};
    }

    std::string get(const std::string& path)
    {
        HttpReply reply = http_get(http_port, path);
        EXPECT_EQ(reply.status, 200) << path << "\n" << reply.headers;
        return reply.body;
    }

    TempDir dir;
    Tmux tmux{"orva-status-web"};
    int telnet_port = free_tcp_port();
    int ipx_port = free_udp_port();
    int http_port = free_tcp_port();
    std::unique_ptr<ChildProcess> board;
};

TEST_F(StatusPageInBrowser, PageMetricsAndJsonShowWhatTheConsoleShows)
{
    dir.write("orva.dat", std::string("\x29\x00", 2)); // 41
    dir.write("orva.conf.xml", orva_config(telnet_port, ipx_port, true,
                                           "  <Server Type=\"Status\" IP=\"127.0.0.1\" Port=\"" +
                                               std::to_string(http_port) + "\"/>\n"));
    tmux.start("cd " + dir.path() + " && TERM=tmux-256color LC_CTYPE=C.UTF-8 " ORVA_BINARY
               "; echo orva-exit-status=$?; exec cat");
    ASSERT_TRUE(wait_until([&] { return http_get(http_port, "/status.json", 2s).status == 200; }))
        << tmux.screen_text();

    // Known calls: one lost to downtime, one on the only line, one busy.
    {
        LoopbackCaller early(telnet_port);
        bool closed = false;
        EXPECT_EQ(early.receive_until_closed(closed), OPTIONS + GREETING + DOWN_TEXT);
    }
    board = std::make_unique<ChildProcess>(
        std::vector<std::string>{BOARD_SIM_BINARY, "--relay", "127.0.0.1:" + std::to_string(ipx_port), "--lines",
                                 "1", "--echo"},
        dir.path());
    ASSERT_TRUE(wait_until([&] { return json_number(get("/status.json"), "sap_servers") == 1; }));
    LoopbackCaller on_line(telnet_port);
    std::string head = OPTIONS + GREETING + connected_text(1);
    ASSERT_EQ(on_line.receive(head.size()), head);
    std::string typed(3000, 'k');
    on_line.send(typed);
    EXPECT_EQ(on_line.receive(typed.size(), 20s), typed);
    {
        LoopbackCaller busy(telnet_port);
        bool closed = false;
        EXPECT_EQ(busy.receive_until_closed(closed), OPTIONS + GREETING + BUSY_TEXT);
    }

    // The metrics pass promtool and hold the known figures.
    std::string metrics;
    ASSERT_TRUE(wait_until([&] {
        metrics = get("/metrics");
        return metric(metrics, "orva_last_session") == 3 && metric(metrics, "orva_callers") == 1;
    })) << metrics;
    dir.write("metrics.txt", metrics);
    EXPECT_EQ(run_command("promtool check metrics < " + dir.file("metrics.txt") + " 2>&1; echo status=$?"),
              "status=0\n");
    std::string json = get("/status.json");
    // The board's own texts reach callers through the same output count.
    long long output = connected_text(1).size() + typed.size() + BUSY_TEXT.size();
    const std::tuple<const char*, const char*, long long> known[] = {
        {"total_connections", "orva_connections_total", 44}, {"calls_lost_downtime", "orva_calls_lost_downtime_total", 1},
        {"calls_lost_busy", "orva_calls_lost_busy_total", 1}, {"callers_refused", "orva_callers_refused_total", 0},
        {"input_bytes", "orva_input_bytes_total", 3000}, {"output_bytes", "orva_output_bytes_total", output},
        {"lines_connected", "orva_lines_connected", 1}, {"sap_servers", "orva_sap_servers", 1},
        {"last_session", "orva_last_session", 3}, {"callers", "orva_callers", 1}};
    for (const auto& [json_name, metric_name, value] : known) {
        EXPECT_EQ(metric(metrics, metric_name), value) << metric_name;
        EXPECT_EQ(json_number(json, json_name), value) << json_name;
    }
    EXPECT_EQ(json_number(json, "next_session"), 4);
    EXPECT_NE(json.find("\"last_sap\": \"KELB\""), std::string::npos) << json;
    EXPECT_EQ(count_of(json, "{\"line\": "), 96u);
    EXPECT_EQ(count_of(json, "\"state\": \"idle\""), 95u);

    // The console shows the same figures, and line 1 as the JSON has it.
    Rows rows;
    ASSERT_TRUE(wait_until([&] {
        rows = tmux.screen();
        json = get("/status.json");
        size_t line1 = json.find("{\"line\": 1, \"state\": \"connected\"");
        size_t address = json.find("\"address\": \"", line1) + 12;
        char seq[16];
        std::snprintf(seq, sizeof seq, "%04llX?%04llX", json_number(json, "seq_in", line1),
                      json_number(json, "seq_out", line1));
        return line1 != std::string::npos &&
               text_at(rows, 26, 17, 5) == std::to_string(json_number(json, "total_connections")) &&
               text_at(rows, 26, 18, 5) == std::to_string(json_number(json, "last_session")) &&
               text_at(rows, 26, 19, 5) == std::to_string(json_number(json, "threads_used")) &&
               text_at(rows, 26, 20, 5) == std::to_string(json_number(json, "next_session")) &&
               text_at(rows, 73, 19, 5) == std::to_string(json_number(json, "calls_lost_busy")) &&
               text_at(rows, 73, 20, 5) == std::to_string(json_number(json, "calls_lost_downtime")) &&
               json_number(json, "refreshed") > 0 &&
               text_at(rows, 70, 2, 4) == std::to_string(json_number(json, "response_ms")) &&
               text_at(rows, 70, 3, 4) == std::to_string(json_number(json, "input_kb")) &&
               text_at(rows, 33, 2, 3) == std::to_string(json_number(json, "idle_percent")) &&
               text_at(rows, 5, 7, 24) == json.substr(address, json.find('"', address) - address).substr(0, 24) &&
               text_at(rows, 30, 7, 9) == seq;
    }, 20s)) << tmux.screen_text() << json;

    // Chromium shows the console's text row by row: the page it loads is
    // one of the screens the pane showed while it ran.
    std::vector<Rows> screens;
    ChildProcess browser(chromium("--dump-dom"), dir.path());
    wait_until([&] {
        Rows now = tmux.screen();
        if (screens.empty() || screens.back() != now)
            screens.push_back(now);
        browser.out();
        return !browser.running();
    }, 60s);
    screens.push_back(tmux.screen());
    Rows shown = dom_rows(browser.out());
    ASSERT_EQ(shown.size(), 25u) << browser.out() << browser.err();
    EXPECT_NE(std::find(screens.begin(), screens.end(), shown), screens.end())
        << "page:\n" << browser.out() << "\nconsole:\n" << tmux.screen_text();

    // A screenshot at a phone's width, kept with the test's output.
    std::string png = (std::filesystem::current_path() / "status_page_narrow.png").string();
    auto shot = chromium("--screenshot=" + png);
    shot.insert(shot.end() - 1, "--window-size=412,915");
    ChildProcess camera(shot, dir.path());
    EXPECT_EQ(camera.wait_exit(60s), 0) << camera.err();
    char signature[8] = {};
    std::ifstream(png, std::ios::binary).read(signature, sizeof signature);
    EXPECT_EQ(std::string(signature, 8), std::string("\x89PNG\r\n\x1a\n", 8)) << png;

    tmux.keys("F3");
    EXPECT_TRUE(wait_until([&] { return tmux.screen_text().find("orva-exit-status=0") != std::string::npos; }))
        << tmux.screen_text();
}

}
