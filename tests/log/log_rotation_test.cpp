// The log under Debian's logrotate: once orva.log is renamed away, the next
// entries go to a new orva.log, and none is lost while rotations run.
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
int rotate(const TempDir& dir, const std::string& option)
{
    dir.write("logrotate.conf", dir.file("orva.log") + " {\n  rotate 5\n  " + option + "\n}\n");
    return std::system(("logrotate -s " + dir.file("state") + " -f " + dir.file("logrotate.conf")).c_str());
}

// The numbers of the "entry N" lines in text.
std::multiset<int> entries_in(const std::string& text)
{
    std::multiset<int> numbers;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (const size_t at = line.find("entry "); at != std::string::npos)
            numbers.insert(std::stoi(line.substr(at + 6)));
    return numbers;
}

// Two rotations as the package's configuration makes them: ORVA makes the
// new file itself (with create, an entry between logrotate's rename and
// its create is set aside in a .backup file).
TEST(LogRotation, EntriesFollowTheRenameAndNoneIsLost)
{
    TempDir dir;
    LogFile log;
    ASSERT_EQ(log.open(dir.file("orva.log").c_str()), 0);
    const int descriptor = log.descriptor();
    // The writer goes on until both rotations are over (bounded all the same).
    std::atomic<int> written{0};
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000000 && !done; ++i) {
            log.write(LOG_INFO, "entry %d", i);
            written = i + 1;
        }
    });
    for (const char* option : {"nocreate", "nocreate", ""}) {
        const int before = written;
        EXPECT_TRUE(wait_until([&] { return written > before + 100; }, 20s));
        if (*option) {
            EXPECT_EQ(rotate(dir, option), 0) << option;
        }
    }
    done = true;
    writer.join();

    std::multiset<int> all;
    for (const char* name : {"orva.log.2", "orva.log.1", "orva.log"}) {
        const std::multiset<int> part = entries_in(dir.read(name));
        EXPECT_FALSE(part.empty()) << name;
        all.insert(part.begin(), part.end());
    }
    // Every entry once, and the fault path's descriptor still the log's.
    EXPECT_EQ(all.size(), size_t(written));
    EXPECT_EQ(std::set<int>(all.begin(), all.end()).size(), size_t(written));
    EXPECT_EQ(log.descriptor(), descriptor);
}

}
