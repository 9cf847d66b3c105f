// ORVA behind a load balancer: two ORVAs on one board host behind a real
// HAProxy that sends the PROXY protocol, for Telnet, SSH and web callers
// from several addresses; and what a trusted balancer's connection without
// a usable header, a health check and an untrusted header come to.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <unistd.h>

#include "tests/support/adapter_test.h"
#include "tests/support/web_caller.h"

using namespace support;

namespace {

const std::string TRUST = "TrustProxy=\"127.0.0.1\"";
const std::string V2_LOCAL("\r\n\r\n\0\r\nQUIT\n\x20\x00\x00\x00", 16);

// Whether something listens on 127.0.0.1:port (or every address), from
// the kernel's own table: asking by connecting would make a caller.
bool listening(int port)
{
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0 && state == "0A")
            return true;
    }
    return false;
}

class LoadBalancer : public AdapterTest {
protected:
    // Telnet, SSH and web, each trusting the balancer on 127.0.0.1.
    static void configure(AdapterRig& rig, int ssh_port, int web_port)
    {
        rig.access = "<Access MaxPerAddress=\"4\" RatePerMinute=\"0\"/>";
        rig.telnet_attributes = TRUST;
        rig.extra_config = "<Server Type=\"SSH\" IP=\"127.0.0.1\" Port=\"" + std::to_string(ssh_port) +
                           "\" HostKey=\"host_key\" " + TRUST + "/>\n  <Server Type=\"Web\" IP=\"127.0.0.1\" Port=\"" +
                           std::to_string(web_port) + "\" " + TRUST + "/>";
    }

    void SetUp() override
    {
        configure(*this, ssh_port, web_port);
        configure(second, second_ssh_port, second_web_port);
        second.ipx_port = ipx_port;
        start_relay();
        start_orva(false);
        ASSERT_TRUE(second.start_orva(false)) << second.why();
        // Both hear the board's first announcement.
        start_board({"--lines", "16"}, false);
        ASSERT_TRUE(orva_says("SAP: Added Server to List")) << why();
        ASSERT_TRUE(second.orva_says("SAP: Added Server to List")) << second.why();
    }

    // HAProxy in TCP mode before both, one frontend per transport, each
    // address always sent to the same ORVA.
    void start_haproxy()
    {
        auto backend = [](const std::string& name, int front, int first, int other) {
            return "frontend " + name + "\n  bind 127.0.0.1:" + std::to_string(front) + "\n  default_backend " +
                   name + "_orvas\nbackend " + name + "_orvas\n  balance source\n  server a 127.0.0.1:" +
                   std::to_string(first) + " send-proxy-v2 check inter 500\n  server b 127.0.0.1:" +
                   std::to_string(other) + " send-proxy-v2 check inter 500\n";
        };
        dir.write("haproxy.cfg", "global\n  maxconn 512\ndefaults\n  mode tcp\n  timeout connect 5s\n"
                                 "  timeout client 10m\n  timeout server 10m\n" +
                                     backend("telnet", front_telnet, telnet_port, second.telnet_port) +
                                     backend("ssh", front_ssh, ssh_port, second_ssh_port) +
                                     backend("web", front_web, web_port, second_web_port));
        haproxy = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/sbin/haproxy", "-db", "-f", dir.file("haproxy.cfg")}, dir.path());
        ASSERT_TRUE(wait_until([&] { return listening(front_telnet) && listening(front_ssh) && listening(front_web); },
                               20s))
            << haproxy->out() << haproxy->err();
    }

    // Which of the two said "Connection: address" (0 or 1); -1 when
    // neither has within the time.
    int instance_of(const std::string& address)
    {
        const std::string line = "] Connection: " + address + "\n";
        int found = -1;
        wait_until(
            [&] {
                pump();
                second.pump();
                if (orva->out().find(line) != std::string::npos)
                    found = 0;
                else if (second.orva->out().find(line) != std::string::npos)
                    found = 1;
                return found >= 0;
            },
            20s);
        return found;
    }

    AdapterRig second;
    int ssh_port = free_tcp_port();
    int web_port = free_tcp_port();
    int second_ssh_port = free_tcp_port();
    int second_web_port = free_tcp_port();
    int front_telnet = free_tcp_port();
    int front_ssh = free_tcp_port();
    int front_web = free_tcp_port();
    std::unique_ptr<ChildProcess> haproxy;
};

TEST_F(LoadBalancer, CallersThroughHaproxyReachBothOrvasUnderTheirOwnAddresses)
{
    if (::access("/usr/sbin/haproxy", X_OK) != 0)
        GTEST_SKIP() << "no haproxy (scripts/install-deps.sh test)";
    start_haproxy();

    // Telnet callers from six addresses, one of them the real client.
    std::vector<std::unique_ptr<LoopbackCaller>> callers;
    int reached[2] = {0, 0};
    for (int host = 2; host <= 6; ++host) {
        const std::string address = "127.0.0." + std::to_string(10 + host);
        callers.push_back(std::make_unique<LoopbackCaller>("127.0.0.1", front_telnet, address));
        ASSERT_GT(call_in(*callers.back()), 0) << address << "\n" << why() << second.why();
        const int at = instance_of(address);
        ASSERT_GE(at, 0) << address << "\n" << why() << second.why();
        ++reached[at];
    }
    ChildProcess telnet({"/usr/bin/telnet", "-b", "127.0.0.20", "127.0.0.1", std::to_string(front_telnet)},
                        dir.path());
    EXPECT_TRUE(telnet.wait_for_out("Connected to KELB line", 20s)) << telnet.out() << telnet.err();
    const int telnet_at = instance_of("127.0.0.20");
    ASSERT_GE(telnet_at, 0) << why() << second.why();
    ++reached[telnet_at];
    EXPECT_GT(reached[0], 0);
    EXPECT_GT(reached[1], 0);

    // OpenSSH and a web caller, each from an address of its own.
    ChildProcess ssh({"/usr/bin/ssh", "-tt", "-e", "none", "-F", "/dev/null", "-b", "127.0.0.30", "-o",
                      "UserKnownHostsFile=" + dir.file("known_hosts"), "-o", "StrictHostKeyChecking=accept-new", "-o",
                      "PubkeyAuthentication=no", "-p", std::to_string(front_ssh), "any@127.0.0.1"},
                     dir.path());
    EXPECT_TRUE(ssh.wait_for_out("Connected to KELB line", 30s)) << ssh.out() << ssh.err();
    EXPECT_GE(instance_of("127.0.0.30"), 0) << why() << second.why();
    auto web = start_web_call({"head", "ws://127.0.0.1:" + std::to_string(front_web) + "/call", "--from", "127.0.0.40"});
    ASSERT_TRUE(web->wait_for_out("\n", 30s)) << web->err();
    EXPECT_NE(json_text(web->out(), "data").find("Connected to KELB line"), std::string::npos) << web->out();
    EXPECT_GE(instance_of("127.0.0.40"), 0) << why() << second.why();

    // Four from one address are at its instance's limit; a fifth is turned
    // away there, by its own address, not the balancer's.
    const int at = instance_of("127.0.0.12");
    AdapterRig& instance = at == 0 ? static_cast<AdapterRig&>(*this) : second;
    for (int i = 0; i < 3; ++i) {
        callers.push_back(std::make_unique<LoopbackCaller>("127.0.0.1", front_telnet, "127.0.0.12"));
        ASSERT_GT(call_in(*callers.back()), 0) << why() << second.why();
    }
    const size_t mark = instance.orva_mark();
    LoopbackCaller fifth("127.0.0.1", front_telnet, "127.0.0.12");
    bool closed = false;
    EXPECT_NE(read_until_closed(fifth, closed).find("Too many connections from your address"), std::string::npos);
    EXPECT_TRUE(instance.orva_says("Refused 127.0.0.12: calls at once at the limit (4)", mark)) << instance.why();
    // The balancer's health checks are no callers.
    EXPECT_EQ(why().find("Connection: 127.0.0.1\n"), std::string::npos);
    EXPECT_EQ(second.why().find("Connection: 127.0.0.1\n"), std::string::npos);
}

// Straight to one ORVA, as from the balancer or another address.
TEST_F(LoadBalancer, TrustedConnectionsNeedAHeaderAndOthersAreNotBelieved)
{
    struct Case {
        const char* name;
        const char* from;
        std::string sent;
        const char* logged;  // what orva says of it
        bool answered;       // the greeting comes
    };
    const Case cases[] = {
        {"version 1", "127.0.0.1", "PROXY TCP4 192.0.2.7 127.0.0.1 40001 23\r\n", "] Connection: 192.0.2.7\n", true},
        {"not a header", "127.0.0.1", "login: guest\r\n",
         "Balancer 127.0.0.1: no PROXY header, connection closed", false},
        {"nothing", "127.0.0.1", "", "Balancer 127.0.0.1: no PROXY header within 5 s, connection closed", false},
        {"untrusted", "127.0.0.2", "PROXY TCP4 192.0.2.9 127.0.0.1 40001 23\r\n", "] Connection: 127.0.0.2\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t mark = orva_mark();
        LoopbackCaller caller("127.0.0.1", telnet_port, c.from);
        // Nothing is sent before the header has been read.
        if (c.answered && std::string(c.from) == "127.0.0.1") {
            EXPECT_EQ(caller.receive(1, 300ms), "");
        }
        caller.send(c.sent);
        bool closed = false;
        if (c.answered) {
            EXPECT_GT(call_in(caller), 0) << why();
        } else {
            EXPECT_EQ(read_until_closed(caller, closed, 15s), "");
            EXPECT_TRUE(closed);
        }
        EXPECT_TRUE(orva_says(c.logged, mark)) << why();
    }

    // A health check: closed without a word, and no call counted.
    const size_t mark = orva_mark();
    LoopbackCaller check("127.0.0.1", telnet_port);
    check.send(V2_LOCAL);
    bool closed = false;
    EXPECT_EQ(read_until_closed(check, closed), "");
    EXPECT_TRUE(closed);
    // The next caller's session number follows the last call's.
    LoopbackCaller next("127.0.0.1", telnet_port);
    next.send("PROXY TCP4 192.0.2.8 127.0.0.1 40001 23\r\n");
    EXPECT_GT(call_in(next), 0);
    EXPECT_TRUE(orva_says("[3] Connection: 192.0.2.8", mark)) << why();
}

}
