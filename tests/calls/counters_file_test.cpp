#include "calls/counters_file.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class CountersFileTest : public testing::Test {
protected:
    std::string dir = "/tmp/orva-counters-" + std::to_string(getpid());
    std::string path = dir + "/orva.dat";
    CountersFileTest() { mkdir(dir.c_str(), 0700); }
    ~CountersFileTest() override
    {
        std::remove(path.c_str());
        std::remove((path + ".new").c_str());
        chmod(dir.c_str(), 0700);
        rmdir(dir.c_str());
    }
    void put(const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
    std::string bytes()
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

TEST_F(CountersFileTest, MissingFileLeavesTheTotalAndSaveCreatesIt)
{
    uint16_t total = 0;
    load_counters(total, path.c_str());
    EXPECT_EQ(total, 0);
    save_counters(1, path.c_str());
    EXPECT_EQ(bytes(), std::string("\x01\x00", 2));
}

TEST_F(CountersFileTest, LittleEndianAndOnlyTwoBytes)
{
    put("\x2C\x01");
    uint16_t total = 0;
    load_counters(total, path.c_str());
    EXPECT_EQ(total, 300);

    put(std::string("\x29\x00\xAA\xBB\xCC", 5));
    load_counters(total, path.c_str());
    EXPECT_EQ(total, 41);
    save_counters(total, path.c_str());
    EXPECT_EQ(bytes(), std::string("\x29\x00", 2));
}

TEST_F(CountersFileTest, WrapsAtSixtyFiveThousand)
{
    put("\xFF\xFF");
    uint16_t total = 0;
    load_counters(total, path.c_str());
    EXPECT_EQ(total, 65535);
    ++total;
    save_counters(total, path.c_str());
    EXPECT_EQ(bytes(), std::string("\x00\x00", 2));
}

TEST_F(CountersFileTest, ShortFileLeavesTheTotal)
{
    put("\x05");
    uint16_t total = 7;
    load_counters(total, path.c_str());
    EXPECT_EQ(total, 7);
}

TEST_F(CountersFileTest, FailedRenameKeepsTheOldCountAndLeavesNoTemporary)
{
    // A directory where the temporary would go makes the write fail.
    put("\x2C\x01");
    mkdir((path + ".new").c_str(), 0700);
    save_counters(999, path.c_str());
    rmdir((path + ".new").c_str());
    EXPECT_EQ(bytes(), "\x2C\x01");
}

}
