// The web page in headless Chromium against the real adapter: the
// simulator's banner and menu in the terminal's cells, a typed E and word
// echoed, a screenshot kept, and the call in the status page's line table.
#include <filesystem>

#include "tests/support/adapter_test.h"
#include "tests/support/http_client.h"
#include "tests/support/web_caller.h"

namespace support {
namespace {

class WebPageInBrowser : public AdapterTest {
protected:
    void SetUp() override
    {
#ifdef ORVA_E2E_SANITIZED
        GTEST_SKIP() << "Chromium runs against the plain build only: too slow under sanitizers";
#endif
        ASSERT_EQ(std::system("test -x /usr/bin/chromium && /usr/bin/python3 -c 'import websockets'"), 0)
            << "chromium and python3-websockets are needed (scripts/install-deps.sh test)";
    }

    // One command to the driver, its one-line answer (output pumped meanwhile).
    std::string ask(ChildProcess& driver, const std::string& command)
    {
        const size_t lines = count_of(driver.out(), "\n");
        driver.write_in(command + "\n");
        wait_until([&] {
            pump();
            return count_of(driver.out(), "\n") > lines || !driver.running();
        }, 60s);
        const std::string out = driver.out();
        size_t end = out.size() > 0 ? out.size() - 1 : 0;
        size_t start = out.rfind('\n', end > 0 ? end - 1 : 0);
        return out.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
    }

    int web_port = free_tcp_port();
    int status_port = free_tcp_port();
};

TEST_F(WebPageInBrowser, ShowsTheBoardEchoesTypingAndTheLineTableShowsTheCall)
{
    extra_config = "<Server Type=\"Web\" IP=\"127.0.0.1\" Port=\"" + std::to_string(web_port) +
                   "\"/>\n  <Server Type=\"Status\" IP=\"127.0.0.1\" Port=\"" + std::to_string(status_port) + "\"/>";
    start_orva();
    start_board({"--lines", "2"});
    auto driver = start_web_page_driver();
    EXPECT_EQ(ask(*driver, "open http://127.0.0.1:" + std::to_string(web_port) + "/"), "OK");
    EXPECT_EQ(ask(*driver, "wait [E]cho  [T]ime  [W]ho  [G]oodbye 30"), "OK") << ask(*driver, "screen") << why();
    const std::string screen = ask(*driver, "screen");
    EXPECT_NE(screen.find("ORVA v"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Welcome to the KELB board, line 1."), std::string::npos) << screen;
    EXPECT_EQ(ask(*driver, "status"), "Connected");

    EXPECT_EQ(ask(*driver, "type E"), "OK");
    EXPECT_EQ(ask(*driver, "wait Echo: type away 10"), "OK") << ask(*driver, "screen");
    EXPECT_EQ(ask(*driver, "type web-echo-word\\r"), "OK");
    EXPECT_EQ(ask(*driver, "wait web-echo-word 10"), "OK") << ask(*driver, "screen");
    const std::string png = (std::filesystem::current_path() / "web_page.png").string();
    EXPECT_EQ(ask(*driver, "shot " + png), "OK");

    // The line table shows the caller on line 1; it counts as a web caller.
    std::string json;
    EXPECT_TRUE(wait_until([&] {
        json = http_get(status_port, "/status.json").body;
        return json.find("{\"line\": 1, \"state\": \"connected\"") != std::string::npos &&
               json_value(json, "callers_web") == 1;
    })) << json;
    driver->close_in();
    EXPECT_EQ(driver->wait_exit(30s), 0) << driver->err();
    EXPECT_TRUE(wait_until([&] { return json_value(http_get(status_port, "/status.json").body, "callers_web") == 0; }));
}

}
}
