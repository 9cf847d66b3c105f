// Callers from a web page, seen through a WebSocket client that is not
// ours (Python's websockets) against the real adapter on loopback: the
// Telnet stream in binary frames, every byte value both ways, hostile
// frames, access control by address (and by forwarded address behind a
// trusted proxy), TLS, and half-open connections that hold no one up.
#include <chrono>

#include "tests/support/adapter_test.h"
#include "tests/support/http_client.h"
#include "tests/support/test_certificate.h"
#include "tests/support/web_caller.h"

namespace support {
namespace {

const std::string TOO_MANY = "Too many connections from your address, please call back later.\r\n";

class WebCaller : public AdapterTest {
protected:
    void SetUp() override
    {
        // The test script installs it; missing, it is a failure, not a skip.
        ASSERT_EQ(std::system("/usr/bin/python3 -c 'import websockets' 2>/dev/null"), 0)
            << "python3-websockets is needed (scripts/install-deps.sh test)";
    }

    // orva with the web port (and the status server), settings added to
    // the Web element.
    void start_web(const std::string& web_settings = "")
    {
        extra_config = "<Server Type=\"Web\" IP=\"127.0.0.1\" Port=\"" + std::to_string(web_port) + "\" " +
                       web_settings + "/>\n  <Server Type=\"Status\" IP=\"127.0.0.1\" Port=\"" +
                       std::to_string(status_port) + "\"/>";
        start_orva();
    }
    std::string url(const char* scheme = "ws") const
    {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(web_port) + "/call";
    }
    // The client run to its end, the programs' output read meanwhile (a
    // busy trace must not block orva on a full pipe): what it printed.
    std::string web_call(const std::vector<std::string>& args, std::chrono::milliseconds timeout = 120s)
    {
        auto client = start_web_call(args);
        client->close_in();
        wait_until([&] {
            pump();
            client->out();
            return !client->running();
        }, timeout);
        return client->out() + client->err();
    }
    // Whether client said text count times within 30 s, output pumped.
    bool says(ChildProcess& client, const std::string& text, size_t count = 1)
    {
        return wait_until([&] {
            pump();
            return count_of(client.out(), text) >= count || !client.running();
        }, 30s) && count_of(client.out(), text) >= count;
    }
    long long figure(const std::string& name)
    {
        return (long long)json_value(http_get(status_port, "/status.json").body, name);
    }

    int web_port = free_tcp_port();
    int status_port = free_tcp_port();
};

TEST_F(WebCaller, CarriesTheTelnetStreamEveryByteValueAndEndsOnlyAHostileConnection)
{
    start_web();
    start_board({"--lines", "4", "--echo"});

    std::string got = web_call({"head", url()});
    EXPECT_EQ(json_text(got, "protocol"), "binary") << got;
    EXPECT_EQ(json_text(got, "data"), OPTIONS + GREETING + connected_text(1)) << got;

    // A call held open counts among the callers, and apart as a web caller.
    auto held = start_web_call({"hold", url(), "1"});
    ASSERT_TRUE(says(*held, "\"connected\": true")) << held->out() << held->err() << why();
    EXPECT_TRUE(wait_until([&] { return figure("callers_web") == 1 && figure("callers") == 1; }));
    EXPECT_NE(http_get(status_port, "/metrics").body.find("\norva_callers_web 1\n"), std::string::npos);

    got = web_call({"echo", url(), std::to_string(1 << 20)});
    EXPECT_EQ(json_text(got, "ok"), "true") << got;

    // A text frame and a frame past 64 KiB end that call with the reason;
    // the held call stays, and new ones are served.
    const struct {
        const char* how;
        int code;
        const char* reason;
    } hostile[] = {{"text", 1003, "text frames are not taken: send binary frames"},
                   {"big", 1009, "frame or message larger than 64 KiB"}};
    for (const auto& h : hostile) {
        got = web_call({"misbehave", url(), h.how});
        EXPECT_EQ(json_value(got, "code"), h.code) << got;
        EXPECT_EQ(json_text(got, "reason"), h.reason) << got;
    }
    EXPECT_TRUE(wait_until([&] { return figure("callers") == 1; }));
    EXPECT_EQ(figure("callers_web"), 1);
    EXPECT_TRUE(held->running());
    EXPECT_NE(json_text(web_call({"head", url()}), "data").find("Connected to KELB line"), std::string::npos);

    held->close_in();
    EXPECT_EQ(held->wait_exit(20s), 0) << held->err();
    EXPECT_TRUE(wait_until([&] { return figure("callers_web") == 0 && figure("callers") == 0; }));

    // Not a WebSocket, or one asking for another subprotocol: 400.
    EXPECT_EQ(http_get(web_port, "/call").status, 400);
    EXPECT_EQ(http_get(web_port, "/nothing-here").status, 404);
}

TEST_F(WebCaller, AccessControlCountsTheForwardedAddressOnlyBehindATrustedProxy)
{
    access = "<Access MaxPerAddress=\"4\" RatePerMinute=\"0\"/>";
    start_web("TrustProxy=\"127.0.0.2\"");
    start_board({"--lines", "8"});
    auto four = start_web_call({"hold", url(), "4"});
    ASSERT_TRUE(says(*four, "\"connected\": true", 4)) << four->out() << four->err() << why();

    // The fifth from 127.0.0.1 is told, then closed normally.
    std::string got = web_call({"head", url()});
    EXPECT_EQ(json_text(got, "data"), TOO_MANY) << got;
    EXPECT_EQ(json_value(got, "code"), 1000) << got;
    EXPECT_TRUE(orva_says("Refused 127.0.0.1: calls at once at the limit (4)\n"));

    // Behind the trusted proxy the address the proxy appended counts, not
    // what the caller wrote ahead of it; behind another it is the proxy's.
    got = web_call({"head", url(), "--from", "127.0.0.2", "--forwarded", "127.0.0.1, 203.0.113.9"});
    EXPECT_NE(json_text(got, "data").find("Connected to KELB line"), std::string::npos) << got;
    EXPECT_TRUE(orva_says("] Connection: 203.0.113.9\n"));
    got = web_call({"head", url(), "--forwarded", "203.0.113.10"});
    EXPECT_EQ(json_text(got, "data"), TOO_MANY) << got;
    four->close_in();
    EXPECT_EQ(four->wait_exit(20s), 0);
}

TEST_F(WebCaller, OverTlsThePageAndTheCallWork)
{
    TestCertificate certificate;
    ASSERT_TRUE(make_test_certificate(dir, "web", certificate));
    start_web("Certificate=\"" + certificate.certificate + "\" Key=\"" + certificate.key + "\"");
    start_board({"--lines", "4", "--echo"});

    std::string got = web_call({"page", "https://127.0.0.1:" + std::to_string(web_port) + "/", "--cafile",
                                certificate.certificate});
    EXPECT_EQ(json_value(got, "status"), 200) << got;
    EXPECT_NE(json_text(got, "body").find("orva-terminal.js"), std::string::npos) << got;
    got = web_call({"echo", url("wss"), "65536", "--cafile", certificate.certificate});
    EXPECT_EQ(json_text(got, "ok"), "true") << got;
    // Plain HTTP on the TLS port gets nowhere.
    EXPECT_EQ(http_get(web_port, "/", 5s).status, 0);
}

TEST_F(WebCaller, UnusableCertificateSettingsStopTheStartNamingThem)
{
    TestCertificate one, two;
    ASSERT_TRUE(make_test_certificate(dir, "one", one));
    ASSERT_TRUE(make_test_certificate(dir, "two", two));
    const struct {
        std::string settings;
        std::string said;
    } cases[] = {
        {"Certificate=\"" + one.certificate + "\"",
         "Server Type=\"Web\" Certificate=\"" + one.certificate + "\" is not usable without Key"},
        {"Certificate=\"missing.pem\" Key=\"" + one.key + "\"",
         "FATAL: Server Type=\"Web\" Certificate=\"missing.pem\" is not usable: "},
        {"Certificate=\"" + one.certificate + "\" Key=\"" + two.key + "\"",
         "FATAL: Server Type=\"Web\" Certificate=\"" + one.certificate + "\" is not usable: "},
    };
    for (const auto& c : cases) {
        dir.write("orva.conf.xml", orva_config(telnet_port, ipx_port, true,
                                               "<Server Type=\"Web\" Port=\"" + std::to_string(web_port) + "\" " +
                                                   c.settings + "/>"));
        ChildProcess bad({programs.orva, "-d"}, dir.path());
        EXPECT_EQ(bad.wait_exit(20s), 1) << c.settings;
        EXPECT_NE(bad.err().find(c.said), std::string::npos) << bad.err();
    }
}

TEST_F(WebCaller, HalfOpenConnectionsHoldUpNeitherTheWebCallerNorAStatusScrape)
{
    start_web();
    start_board({"--lines", "4"});
    constexpr int HALF_OPEN = 500 / LOAD_SCALE;
    std::vector<std::unique_ptr<LoopbackCaller>> stalled;
    for (int i = 0; i < HALF_OPEN; ++i) {
        stalled.push_back(std::make_unique<LoopbackCaller>(web_port));
        stalled.back()->send("GET / HTTP/1.1\r\nHost: x\r\n");
    }
    const auto start = std::chrono::steady_clock::now();
    HttpReply page = http_get(web_port, "/", 3s);
    const auto page_at = std::chrono::steady_clock::now();
    std::string got = web_call({"head", url()});
    HttpReply scrape = http_get(status_port, "/metrics", 3s);
    const auto done = std::chrono::steady_clock::now();
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(json_text(got, "data").find("Connected to KELB line"), std::string::npos) << got;
    EXPECT_EQ(scrape.status, 200);
    const double banner_s = json_value(got, "seconds");
    EXPECT_LT(banner_s, 3.0) << got;
    EXPECT_LT(done - start, 10s);
    std::printf("With %d half-open connections: page %.3f s, banner over /call %.3f s, /metrics %.3f s in all\n",
                HALF_OPEN, std::chrono::duration<double>(page_at - start).count(), banner_s,
                std::chrono::duration<double>(done - start).count());
}

}
// A full board of web callers at once, each echoing its own word while
// the others hold their lines; the status server counts them all meanwhile.
TEST_F(WebCaller, NinetySixCallersAtOnceEachEchoWhileTheStatusServerCountsThem)
{
    const int callers = 96 / LOAD_SCALE;
    start_web();
    start_board({"--echo", "--lines", "96"});
    auto held = start_web_call({"hold-echo", url(), std::to_string(callers)});
    ASSERT_TRUE(says(*held, "\"held\": " + std::to_string(callers) + ",")) << held->out() << held->err() << why(4096);
    EXPECT_EQ(count_of(held->out(), "\"connected\": true, \"echoed\": true"), size_t(callers)) << held->out();
    EXPECT_TRUE(wait_until([&] { return figure("callers_web") == callers; })) << figure("callers_web");
    EXPECT_EQ(http_get(status_port, "/metrics").status, 200);
    held->close_in();
    EXPECT_TRUE(says(*held, "\"released\"")) << held->err();
    EXPECT_TRUE(wait_until([&] { pump(); return figure("callers_web") == 0; }, 30s)) << why(4096);
}

}
