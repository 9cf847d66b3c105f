// The benchmark's verdicts and its JSON: a missing figure is never a pass,
// and one broken run makes the whole run not intact.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "bench/bench_report.h"
#include "tests/support/temp_dir.h"
#include "tests/support/counting.h"

namespace {

Figure figure(double orva, double limit, bool higher)
{
    Figure f;
    f.key = "k";
    f.orva = orva;
    f.limit = limit;
    f.higher_is_better = higher;
    return f;
}

}

TEST(BenchReport, VerdictsFollowTheDirectionAndAMissingFigureMisses)
{
    EXPECT_EQ(BenchReport::verdict(figure(4.0, 4.0, false)), 1);
    EXPECT_EQ(BenchReport::verdict(figure(4.01, 4.0, false)), 0);
    EXPECT_EQ(BenchReport::verdict(figure(400, 400, true)), 1);
    EXPECT_EQ(BenchReport::verdict(figure(399, 400, true)), 0);
    EXPECT_EQ(BenchReport::verdict(figure(NAN, 400, true)), 0);
    EXPECT_EQ(BenchReport::verdict(figure(1, NAN, true)), -1);
}

TEST(BenchReport, TargetsRelativeToSer2netAreJudgedOnItsFigureOrNotAtAll)
{
    Figure f = figure(3.0, NAN, false);
    f.times_ser2net = 3;
    EXPECT_EQ(BenchReport::verdict(f), -1) << "ser2net not run";
    f.ser2net = 1.0;
    EXPECT_EQ(BenchReport::verdict(f), 1);
    f.ser2net = 0.9;
    EXPECT_EQ(BenchReport::verdict(f), 0);
    Figure rate = figure(499, NAN, true);
    rate.times_ser2net = 0.5;
    rate.ser2net = 1000;
    EXPECT_EQ(BenchReport::verdict(rate), 0);
    rate.orva = 500;
    EXPECT_EQ(BenchReport::verdict(rate), 1);
}

TEST(BenchReport, JsonHoldsEveryFigureAndCheckWithTextEscaped)
{
    support::TempDir dir;
    BenchReport report;
    EXPECT_FALSE(report.all_intact());  // nothing checked is not intact
    Figure f = figure(2.5, 4, false);
    f.label = "Echo \"p50\"";
    f.unit = "ms";
    f.target = "<= 4";
    report.add(f);
    report.add(figure(NAN, NAN, false));
    IntegrityCheck good{"good", "Good", "orva", 2, 2, 10, 10, 0, "m", ""};
    report.add(good);
    EXPECT_TRUE(report.all_intact());
    IntegrityCheck bad{"bad", "Bad", "orva", 2, 1, 10, 5, 1, "m", "line 2: Byte 6\r\n"};
    report.add(bad);
    EXPECT_FALSE(report.all_intact());
    report.note("machine", "two\tcores");
    ASSERT_TRUE(report.write_json(dir.file("r.json")));
    const std::string json = dir.read("r.json");
    EXPECT_NE(json.find("\"label\": \"Echo \\\"p50\\\"\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"orva\": 2.5"), std::string::npos);
    EXPECT_NE(json.find("\"verdict\": \"pass\""), std::string::npos);
    EXPECT_NE(json.find("\"orva\": null"), std::string::npos);
    EXPECT_NE(json.find("\"first_error\": \"line 2: Byte 6\\u000d\\u000a\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"machine\": \"two\\u0009cores\""), std::string::npos);
    EXPECT_EQ(support::count_of(json, "\"intact\": true"), 1u);
    EXPECT_EQ(support::count_of(json, "\"intact\": false"), 1u);
    EXPECT_NE(json.find("\"all_intact\": false"), std::string::npos);
    EXPECT_FALSE(report.write_json(dir.file("no/such/dir/r.json")));
}
