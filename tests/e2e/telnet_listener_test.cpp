// The adapter's Telnet listener seen from outside: start-up that fails on a
// port in use, and a run that listens and keeps its counters file.
#include <csignal>
#include <gtest/gtest.h>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/free_port.h"
#include "tests/support/loopback_caller.h"

using namespace support;

namespace {

// A Telnet port, and a second one when second is not 0.
std::string config_for(int port, int second = 0)
{
    std::string telnet = "  <Server Type=\"Telnet\" IP=\"127.0.0.1\" Port=\"" + std::to_string(port) + "\"/>\n";
    if (second)
        telnet += "  <Server Type=\"Telnet\" IP=\"127.0.0.1\" Port=\"" + std::to_string(second) +
                  "\" Charset=\"UTF-8\"/>\n";
    return "<Orva>\n" + telnet + "  <Log File=\"orva.log\" Level=\"5\"/>\n</Orva>\n";
}

// The log line after the one that ends with first.
std::string line_after(const std::string& log, const std::string& first)
{
    size_t at = log.find(first + "\n");
    if (at == std::string::npos)
        return "";
    size_t start = at + first.size() + 1;
    size_t end = log.find('\n', start);
    std::string line = log.substr(start, end == std::string::npos ? std::string::npos : end - start);
    // Drop the time stamp "Mon DD HH:MM:SS ".
    return line.size() > 16 ? line.substr(16) : line;
}

// The first port in use, or a second one: either ends start-up.
TEST(TelnetListener, PortInUseEndsStartUpAndKeepsTheTotal)
{
    support::TestListener holder;
    for (const std::string& config : {config_for(holder.port()), config_for(free_tcp_port(), holder.port())}) {
        TempDir dir;
        dir.write("orva.conf.xml", config);
        dir.write("orva.dat", std::string("\x2A\x00\x09", 3));

        ChildProcess orva({ORVA_BINARY, "-d"}, dir.path());
        EXPECT_EQ(orva.wait_exit(), 1) << config;
        EXPECT_NE(orva.out().find("bind failed\nServer socket init failed\n"), std::string::npos)
            << orva.out();

        std::string log = dir.read("orva.log");
        EXPECT_EQ(line_after(log, "DEBUG: Telnet Server init()"), "DEBUG: Telnet Server shutdown()")
            << log;
        EXPECT_EQ(log.find("Running ..."), std::string::npos) << log;
        // The messages are the listener's own and stay out of the log.
        EXPECT_EQ(log.find("bind failed"), std::string::npos) << log;
        EXPECT_EQ(dir.read("orva.dat"), std::string("\x2A\x00", 2));
    }
}

TEST(TelnetListener, ListensUntilStoppedAndSavesTheTotal)
{
    TempDir dir;
    int port = free_tcp_port();
    dir.write("orva.conf.xml", config_for(port));

    ChildProcess orva({ORVA_BINARY, "-d"}, dir.path());
    ASSERT_TRUE(orva.wait_for_out("Running ...")) << orva.out();
    support::LoopbackCaller caller(port);
    EXPECT_TRUE(caller.connected());
    ASSERT_TRUE(orva.wait_for_out("[1] Connection: 127.0.0.1")) << orva.out();
    orva.signal(SIGTERM);
    EXPECT_EQ(orva.wait_exit(), 0) << orva.out();
    EXPECT_EQ(dir.read("orva.dat"), std::string("\1\0", 2));
    support::LoopbackCaller late(port);
    EXPECT_FALSE(late.connected());
}

}
