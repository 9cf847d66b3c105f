// The fail2ban filter in etc/fail2ban against what a real orva writes: each
// kind of refusal and a ban are provoked from loopback addresses, then
// Debian's fail2ban-regex reads orva's standard output as the journal shows
// it, and orva.log. Every refusal the caller's own address caused, and every
// ban, matches with that address; no other line matches.
#include "tests/support/adapter_test.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace support {
namespace {

struct Match {
    std::string address;
    std::string line;
};

class Fail2banFilter : public AdapterTest {
protected:
    // Everything a caller from from gets until orva closes the call.
    std::string whole_call(const std::string& from)
    {
        LoopbackCaller caller(from.find(':') == std::string::npos ? "127.0.0.1" : "::1", telnet_port, from);
        EXPECT_TRUE(caller.connected()) << from;
        bool closed;
        std::string got = read_until_closed(caller, closed);
        EXPECT_TRUE(closed) << from;
        return got;
    }

    // The filter as installed: next to fail2ban's own common.conf.
    void install_filter()
    {
        std::ifstream in(FAIL2BAN_FILTER);
        std::stringstream text;
        text << in.rdbuf();
        ASSERT_FALSE(text.str().empty()) << FAIL2BAN_FILTER;
        std::filesystem::create_directories(dir.file("fail2ban/filter.d"));
        dir.write("fail2ban/filter.d/orva.conf", text.str());
        ASSERT_EQ(symlink("/etc/fail2ban/filter.d/common.conf", dir.file("fail2ban/filter.d/common.conf").c_str()), 0);
    }

    // fail2ban-regex over log: each failure it finds, with the address it
    // took and the line.
    std::vector<Match> failures_in(const std::string& log)
    {
        ChildProcess regex({"/usr/bin/fail2ban-regex", "-o", "<ip> | <msg>", dir.file(log),
                            dir.file("fail2ban/filter.d/orva.conf")},
                           dir.path());
        EXPECT_EQ(regex.wait_exit(60s), 0) << regex.err();
        std::vector<Match> found;
        std::istringstream rows(regex.out());
        for (std::string row; std::getline(rows, row);) {
            const size_t bar = row.find(" | ");
            EXPECT_NE(bar, std::string::npos) << row;
            if (bar != std::string::npos)
                found.push_back({row.substr(0, bar), row.substr(bar + 3)});
        }
        return found;
    }
};

// Checks that found holds exactly the expected lines, each once, each with
// its own address.
void expect_failures(const std::vector<Match>& found, const std::vector<Match>& expected, const std::string& log)
{
    EXPECT_EQ(found.size(), expected.size()) << log;
    for (const Match& want : expected) {
        EXPECT_EQ(count_of(log, want.line + "\n"), 1u) << want.line << "\n" << log;
        size_t hits = 0;
        for (const Match& got : found)
            if (got.line.find(want.line) != std::string::npos) {
                ++hits;
                EXPECT_EQ(got.address, want.address) << got.line;
            }
        EXPECT_EQ(hits, 1u) << want.line;
    }
}

TEST_F(Fail2banFilter, MatchesEveryRefusalAndBanWithTheCallersAddressAndNothingElse)
{
    telnet_ip = "::";
    access = "<Access MaxPerAddress=\"2\" RatePerMinute=\"3\" BanSeconds=\"600\" "
             "Allow=\"127.0.0.0/29, ::1\" Deny=\"127.0.0.5\" MaxCalls=\"3\"/>";
    install_filter();
    start_orva();
    EXPECT_EQ(whole_call("127.0.0.5"), "");
    EXPECT_EQ(whole_call("127.0.0.9"), "");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(whole_call("::1"), OPTIONS + GREETING + DOWN_TEXT) << i;
    EXPECT_NE(whole_call("::1"), "");
    EXPECT_EQ(whole_call("::1"), "");

    // With the board up: two calls from one address, a third refused; one
    // more call fills MaxCalls, and a caller past it did nothing wrong.
    start_board({"--lines", "8"});
    std::vector<std::unique_ptr<LoopbackCaller>> held;
    for (const char* from : {"127.0.0.2", "127.0.0.2", "127.0.0.3"}) {
        held.push_back(std::make_unique<LoopbackCaller>("127.0.0.1", telnet_port, from));
        ASSERT_GT(call_in(*held.back()), 0) << from;
        if (held.size() == 2) {
            EXPECT_NE(whole_call("127.0.0.2"), "");
        }
    }
    EXPECT_NE(whole_call("127.0.0.4"), "");
    ASSERT_TRUE(orva_says("Refused 127.0.0.4: too many callers at once (3)\n"));
    held.clear();
    EXPECT_EQ(stop_orva(), 0);

    // The journal's short form: time, host, identifier[pid], the line.
    std::istringstream out(orva->out());
    std::string journal;
    for (std::string line; std::getline(out, line);)
        journal += "Dec 08 14:00:00 board-host orva[" + std::to_string(orva->pid()) + "]: " + line + "\n";
    dir.write("journal.txt", journal);

    const Match ban{"::1", "Access: ::1 banned for 600 s after 4 connections within a minute"};
    expect_failures(failures_in("journal.txt"),
                    {{"127.0.0.5", "Refused 127.0.0.5: on the Deny list"},
                     {"127.0.0.9", "Refused 127.0.0.9: not on the Allow list"},
                     {"::1", "Refused ::1: 4 connections within a minute, banned for 600 s"},
                     ban,
                     {"::1", "Refused ::1: banned"},
                     {"127.0.0.2", "Refused 127.0.0.2: calls at once at the limit (2)"}},
                    journal);
    // The log file holds the ban, with orva's own time stamp.
    expect_failures(failures_in("orva.log"), {ban}, dir.read("orva.log"));
}

}
}
