// The log under Debian's logrotate: once orva.log is renamed away, the next
// entries go to a new orva.log, and none is lost while a rotation runs.
#include "log/log_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace {

using support::TempDir;
using support::wait_until;
using namespace std::chrono_literals;

// Runs logrotate once, forced, with its state in dir; the exit status.
int rotate(const TempDir& dir, const std::string& options)
{
    dir.write("logrotate.conf", dir.file("orva.log") + " {\n  rotate 5\n  missingok\n" + options + "}\n");
    const std::string command = "logrotate -s " + dir.file("state") + " -f " + dir.file("logrotate.conf");
    return std::system(command.c_str());
}

// The numbers of the "entry N" lines in text.
std::multiset<int> entries_in(const std::string& text)
{
    std::multiset<int> numbers;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("entry ");
        if (at != std::string::npos)
            numbers.insert(std::stoi(line.substr(at + 6)));
    }
    return numbers;
}

TEST(LogRotation, NextEntryGoesToTheNewFileWithOrWithoutCreate)
{
    for (const std::string options : {"  create\n", "  nocreate\n"}) {
        TempDir dir;
        LogFile log;
        ASSERT_EQ(log.open(dir.file("orva.log").c_str()), 0);
        const int descriptor = log.descriptor();
        log.write(LOG_INFO, "before");
        ASSERT_EQ(rotate(dir, options), 0) << options;
        log.write(LOG_INFO, "after");
        EXPECT_NE(dir.read("orva.log.1").find("before\n"), std::string::npos) << options;
        EXPECT_EQ(dir.read("orva.log.1").find("after"), std::string::npos) << options;
        EXPECT_NE(dir.read("orva.log").find("after\n"), std::string::npos) << options;
        // The fault path writes to the descriptor it was given at start-up.
        EXPECT_EQ(log.descriptor(), descriptor);
    }
}

TEST(LogRotation, NoEntryIsLostWhileRotationsRun)
{
    TempDir dir;
    LogFile log;
    ASSERT_EQ(log.open(dir.file("orva.log").c_str()), 0);
    // The writer goes on until both rotations are over (bounded all the same).
    constexpr int MOST = 2000000;
    std::atomic<int> written{0};
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < MOST && !done; ++i) {
            log.write(LOG_INFO, "entry %d", i);
            written = i + 1;
        }
    });
    for (int round = 0; round < 2; ++round) {
        const int before = written;
        EXPECT_TRUE(wait_until([&] { return written > before + 100; }, 20s));
        EXPECT_EQ(rotate(dir, "  create\n"), 0);
    }
    const int rotated_at = written;
    EXPECT_TRUE(wait_until([&] { return written > rotated_at + 100; }, 20s));
    done = true;
    writer.join();

    std::multiset<int> all;
    for (const char* name : {"orva.log", "orva.log.1", "orva.log.2"}) {
        ASSERT_TRUE(dir.exists(name)) << name;
        const std::multiset<int> part = entries_in(dir.read(name));
        EXPECT_FALSE(part.empty()) << name;
        all.insert(part.begin(), part.end());
    }
    // Every entry once: none lost, none twice.
    ASSERT_EQ(all.size(), size_t(written));
    EXPECT_EQ(std::set<int>(all.begin(), all.end()).size(), size_t(written));
    EXPECT_EQ(*all.rbegin(), written - 1);
}

}
