#include "log/log_file.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

class LogFileTest : public testing::Test {
protected:
    std::string path = "/tmp/orva-log-test-" + std::to_string(getpid()) + ".log";
    char echo_buf[8192] = {};
    FILE* echo = fmemopen(echo_buf, sizeof echo_buf, "w");

    ~LogFileTest() override
    {
        std::fclose(echo);
        std::remove(path.c_str());
    }
    std::string file_text()
    {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string echo_text()
    {
        std::fflush(echo);
        return echo_buf;
    }
};

// "Mon DD HH:MM:SS " at the start of the line.
bool has_stamp(const std::string& l)
{
    const char* shape = "Aaa 00 00:00:00 ";
    if (l.size() < 16)
        return false;
    for (int i = 0; i < 16; ++i) {
        char c = l[size_t(i)], want = shape[i];
        bool ok = want == 'A' ? (c >= 'A' && c <= 'Z')
                  : want == 'a' ? (c >= 'a' && c <= 'z')
                  : want == '0' ? (c >= '0' && c <= '9')
                                : c == want;
        if (!ok)
            return false;
    }
    return true;
}

TEST_F(LogFileTest, EntryFormatAndLabels)
{
    LogFile log;
    ASSERT_EQ(log.open(path.c_str()), 0);
    log.set_threshold(5);
    log.set_echo(echo);
    EXPECT_EQ(log.write(LOG_DEBUG, "Network init()"), 14);
    log.write(LOG_INFO, "Running on %s", "here");
    log.write(LOG_ERROR, "SAP: unable to intialize");
    log.write(LOG_INFO, "");
    log.close();
    std::string text = file_text();
    EXPECT_EQ(text, echo_text()) << "file and echo differ";
    std::istringstream lines(text);
    std::string l;
    std::vector<std::string> got;
    while (std::getline(lines, l)) {
        EXPECT_TRUE(has_stamp(l)) << l;
        got.push_back(l.substr(16));
    }
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], "DEBUG: Network init()");
    EXPECT_EQ(got[1], "Running on here");
    EXPECT_EQ(got[2], "ERROR: SAP: unable to intialize");
    EXPECT_EQ(got[3], "");
    EXPECT_EQ(text.substr(text.size() - 17).size(), 17u);
}

TEST_F(LogFileTest, ThresholdFiltersEverywhere)
{
    LogFile log;
    ASSERT_EQ(log.open(path.c_str()), 0);
    log.set_echo(echo);
    EXPECT_EQ(log.write(LOG_DEBUG, "hidden"), 0);
    log.set_threshold(0);
    log.write(LOG_ERROR, "hidden too");
    log.set_threshold(-1);
    EXPECT_EQ(log.write(LOG_ALWAYS, "even this"), 0);
    log.close();
    EXPECT_EQ(file_text(), "");
    EXPECT_EQ(echo_text(), "");
}

TEST_F(LogFileTest, WithoutAFileEntriesGoToTheEchoOnly)
{
    LogFile log;
    EXPECT_EQ(log.open("/nonexistent/dir/orva.log"), -1);
    log.set_echo(echo);
    EXPECT_EQ(log.write(LOG_INFO, "still seen"), 0);
    EXPECT_NE(echo_text().find(" still seen\n"), std::string::npos);
}

TEST_F(LogFileTest, ReopeningAppends)
{
    for (int run = 0; run < 2; ++run) {
        LogFile log;
        ASSERT_EQ(log.open(path.c_str()), 0);
        log.write(LOG_INFO, "run %d", run);
        log.close();
    }
    std::string text = file_text();
    EXPECT_NE(text.find("run 0\n"), std::string::npos);
    EXPECT_NE(text.find("run 1\n"), std::string::npos);
}

TEST_F(LogFileTest, ConcurrentWritersProduceWholeLines)
{
    LogFile log;
    ASSERT_EQ(log.open(path.c_str()), 0);
    auto writer = [&log](char c) {
        std::string text(200, c);
        for (int i = 0; i < 200; ++i)
            log.write(LOG_INFO, "%s", text.c_str());
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    log.close();
    std::istringstream lines(file_text());
    std::string l;
    int count = 0;
    while (std::getline(lines, l)) {
        ++count;
        std::string body = l.substr(16);
        EXPECT_TRUE(body == std::string(200, 'a') || body == std::string(200, 'b')) << l;
    }
    EXPECT_EQ(count, 400);
}

}
