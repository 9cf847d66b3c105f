// The real orva binary: configuration errors, the start-up and shutdown
// sequence, control signals and the fault path.
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/free_port.h"
#include "tests/support/wait_until.h"
#include "tests/support/counting.h"

namespace {

using namespace support;

// A configuration whose Telnet port is free, on loopback.
std::string config(int level)
{
    return "<orva>\n"
           "  <Server Type=\"Telnet\" IP=\"127.0.0.1\" Port=\"" + std::to_string(free_tcp_port()) + "\"/>\n"
           "  <Server Type=\"IPX\" IP=\"127.0.0.1\" Port=\"" + std::to_string(free_udp_port()) + "\" Host=\"1\"/>\n"
           "  <Log File=\"orva.log\" Level=\"" + std::to_string(level) + "\"/>\n"
           "</orva>\n";
}

// A configuration that cannot be used ends the run before it starts: status
// 1, the reason alone on standard error and no log file.
TEST(Lifecycle, UnusableConfigurationIsNamedAndCreatesNoLog)
{
    struct Case {
        const char* file;  // none: no configuration file at all
        const char* error;
        const char* host_key = nullptr;  // written as "key", readable by all
    };
    const Case cases[] = {
        {nullptr, "xml: error opening xml file: orva.conf.xml\nFATAL: unable to open config file"},
        {"<orva>\n  <Log Level=\"5\">\n</orva>\n",
         "xml: Parse error at line 3:\nmismatched tag\nFATAL: unable to open config file"},
        // A malformed setting of any element: one form, naming it and its value.
        {"<orva>\n  <Board Resend=\"500\" Silence=\"20s\"/>\n</orva>\n",
         "FATAL: Board Silence=\"20s\" is not whole seconds from 0 to 86400\n"},
        {"<orva><Server Type=\"IPX\" Port=\"0\"/></orva>",
         "FATAL: Server Type=\"IPX\" Port=\"0\" is not a port from 1 to 65535\n"},
        {"<orva><Server Type=\"IPX\" Host=\"yes\"/></orva>", "FATAL: Server Type=\"IPX\" Host=\"yes\" is not 0 or 1\n"},
        {"<orva><Server Type=\"Status\" Port=\"80x\"/></orva>",
         "FATAL: Server Type=\"Status\" Port=\"80x\" is not a port from 1 to 65535\n"},
        {"<orva><Server Type=\"Status\" IP=\"localhost\"/></orva>",
         "FATAL: Server Type=\"Status\" IP=\"localhost\" is not a dotted IPv4 address, or empty for every address\n"},
        {"<orva><Server Type=\"Telnet\" Port=\"2323\" Charset=\"auto\"/></orva>",
         "FATAL: Server Type=\"Telnet\" Charset=\"auto\" is not CP437 or UTF-8\n"},
        {"<orva><Server Type=\"Telnet\"/><Server Type=\"Telnet\" Port=\"23x\" Charset=\"UTF-8\"/></orva>",
         "FATAL: Server Type=\"Telnet\" Port=\"23x\" is not a port from 1 to 65535\n"},
        {"<orva><Server Type=\"Telnet\" TrustProxy=\"haproxy.local\"/></orva>",
         "FATAL: Server Type=\"Telnet\" TrustProxy=\"haproxy.local\" is not a list of IPv4 and IPv6 addresses and "
         "prefixes (\"haproxy.local\" is none)\n"},
        {"<orva><Server Type=\"SSH\" TrustProxy=\"10.0.0.5/40\"/></orva>",
         "FATAL: Server Type=\"SSH\" TrustProxy=\"10.0.0.5/40\" is not a list of IPv4 and IPv6 addresses and "
         "prefixes (\"10.0.0.5/40\" is none)\n"},
        {"<orva><Server Type=\"SSH\" Port=\"22x\"/></orva>",
         "FATAL: Server Type=\"SSH\" Port=\"22x\" is not a port from 1 to 65535\n"},
        {"<orva><Server Type=\"SSH\" Charset=\"latin1\"/></orva>",
         "FATAL: Server Type=\"SSH\" Charset=\"latin1\" is not auto, CP437 or UTF-8\n"},
        {"<orva><Server Type=\"SSH\" Legacy=\"yes\"/></orva>",
         "FATAL: Server Type=\"SSH\" Legacy=\"yes\" is not 0 or 1\n"},
        {"<orva><Server Type=\"SSH\" HostKey=\"key\"/></orva>",
         "FATAL: Server Type=\"SSH\" HostKey=\"key\" is not usable: readable by others (chmod 600)\n", "any"},
        {"<orva><Server Type=\"SSH\" HostKey=\".\"/></orva>",
         "FATAL: Server Type=\"SSH\" HostKey=\".\" is not usable: not a file\n"},
        {"<orva><Access RatePerMinute=\"3x\"/></orva>",
         "FATAL: Access RatePerMinute=\"3x\" is not a whole number from 0 to 1000000000\n"},
        {"<orva><Access BanSeconds=\"-1\"/></orva>",
         "FATAL: Access BanSeconds=\"-1\" is not a whole number from 0 to 1000000000\n"},
        {"<orva><Call Idle=\"30\" Longest=\"1h\"/></orva>",
         "FATAL: Call Longest=\"1h\" is not whole minutes from 0 to 10080\n"},
        {"<orva><Access Deny=\"10.0.0.1, 10.0.0.0/33\"/></orva>",
         "FATAL: Access Deny=\"10.0.0.1, 10.0.0.0/33\" is not a list of IPv4 and IPv6 addresses and prefixes "
         "(\"10.0.0.0/33\" is none)\n"},
        {"<orva><Access Allow=\"::1 fe80::/x\"/></orva>",
         "FATAL: Access Allow=\"::1 fe80::/x\" is not a list of IPv4 and IPv6 addresses and prefixes "
         "(\"fe80::/x\" is none)\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        if (c.file)
            dir.write("orva.conf.xml", c.file);
        if (c.host_key) {
            dir.write("key", c.host_key);
            ASSERT_EQ(chmod(dir.file("key").c_str(), 0644), 0);
        }
        ChildProcess orva({ORVA_BINARY, "-d"}, dir.path());
        EXPECT_EQ(orva.wait_exit(), 1) << c.error;
        EXPECT_EQ(orva.err(), c.error);
        EXPECT_EQ(orva.out(), "") << c.error;
        EXPECT_FALSE(dir.exists("orva.log")) << c.error;
    }
}

TEST(Lifecycle, DebugRunLogsEveryStepAndEndsCleanlyOnSigterm)
{
    TempDir dir;
    dir.write("orva.conf.xml", config(5));
    ChildProcess orva({ORVA_BINARY, "-d"}, dir.path());
    ASSERT_TRUE(orva.wait_for_out("DEBUG: Running ...")) << orva.out() << orva.err();
    orva.signal(SIGTERM);
    ASSERT_TRUE(orva.wait_for_out("SIGHANDLER: Caught Shutdown signal"));
    orva.signal(SIGTERM); // during shutdown: changes nothing
    EXPECT_EQ(orva.wait_exit(), 0) << orva.out();

    std::string log = dir.read("orva.log");
    for (const char* line : {"^^^ ORVA Startup -- KELB Internet Adapter v1.0 ^^^", "Running on Linux",
                             "DEBUG: Network init()", "DEBUG: Running ...", "DEBUG: Network shutdown()",
                             "vvv ORVA Shutdown -- Normal Termination vvv"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    EXPECT_LT(log.find("Network init()"), log.find("Running ..."));
    EXPECT_LT(log.find("Running ..."), log.find("Network shutdown()"));
    EXPECT_NE(orva.out().find("Normal Termination"), std::string::npos) << "log entries are echoed";
    EXPECT_LE(count_of(orva.out(), "SIGHANDLER: Caught Shutdown signal"), 2u);
    EXPECT_EQ(count_of(log, "Normal Termination"), 1u);
}

TEST(Lifecycle, LevelThreeSilencesBannersAndRestartsAppend)
{
    TempDir dir;
    dir.write("orva.log", "previous run\n");
    dir.write("orva.conf.xml", config(3));
    ChildProcess orva({ORVA_BINARY, "-d"}, dir.path());
    // Nothing is logged at level 3 to show that orva is up.
    ASSERT_TRUE(wait_until([&] { return thread_names(orva.pid()).find("orva-signals\n") != std::string::npos; }));
    orva.signal(SIGHUP);
    EXPECT_EQ(orva.wait_exit(), 0);
    EXPECT_NE(orva.out().find("SIGHANDLER: Caught Shutdown signal"), std::string::npos);
    EXPECT_EQ(dir.read("orva.log"), "previous run\n");
}

TEST(Lifecycle, FaultOnTheMainThreadLeavesTheExceptionBannerAndStatus255)
{
    TempDir dir;
    dir.write("orva.conf.xml", config(5));
    ChildProcess orva({ORVA_BINARY, "-d"}, dir.path());
    ASSERT_TRUE(orva.wait_for_out("DEBUG: Running ..."));
    // The main thread's id is the process id.
    syscall(SYS_tgkill, orva.pid(), orva.pid(), SIGSEGV);
    EXPECT_EQ(orva.wait_exit(), 255);
    std::string log = dir.read("orva.log");
    EXPECT_NE(log.find("vvv ORVA Shutdown -- EXCEPTION OCCURED vvv"), std::string::npos) << log;
    EXPECT_EQ(log.find("Normal Termination"), std::string::npos);
}

}
