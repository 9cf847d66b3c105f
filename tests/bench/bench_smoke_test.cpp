// A quick run of the whole benchmark: real orva, relay and simulator (and
// ser2net where installed), every byte checked, the figures written.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/counting.h"

using namespace support;

namespace {

// The number that follows "name": in the JSON object that starts with key.
std::string field_after(const std::string& json, const std::string& key, const std::string& name)
{
    const size_t at = json.find("{\"key\": \"" + key + "\"");
    if (at == std::string::npos)
        return "";
    const size_t end = json.find('}', at);
    const std::string object = json.substr(at, end - at);
    const size_t f = object.find("\"" + name + "\": ");
    if (f == std::string::npos)
        return "";
    const size_t v = f + name.size() + 4;
    return object.substr(v, object.find_first_of(",}", v) - v);
}

}

TEST(BenchSmoke, QuickRunWritesTheFiguresAndLosesNothing)
{
    TempDir dir;
    ChildProcess bench({BENCH_BINARY, "--quick", "--json", dir.file("results.json")}, dir.path());
    const int status = bench.wait_exit(std::chrono::seconds(90));
    ASSERT_EQ(status, 0) << bench.out() << bench.err();
    ASSERT_TRUE(dir.exists("results.json"));
    const std::string json = dir.read("results.json");
    EXPECT_NE(json.find("\"all_intact\": true"), std::string::npos) << json;
    EXPECT_EQ(count_of(json, "\"intact\": false"), 0u) << json;
    // Four stream runs, the keystrokes and the refusals, for orva and the
    // direct connection at least.
    EXPECT_GE(count_of(json, "\"intact\": true"), 11u);
    for (const char* key : {"echo_p50_1", "out_one", "in_one", "cpu_idle_callers", "refused_per_second"}) {
        const std::string v = field_after(json, key, "orva");
        ASSERT_FALSE(v.empty()) << key;
        EXPECT_NE(v, "null") << key;
        // Idle callers may cost no measurable time at all.
        if (std::string(key) == "cpu_idle_callers")
            EXPECT_GE(std::stod(v), 0) << key;
        else
            EXPECT_GT(std::stod(v), 0) << key;
    }
    EXPECT_NE(bench.out().find("Board -> caller, one line"), std::string::npos);
}
