#include "status/status_json.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace {

// Host names come from the caller's resolver: any byte may be in them.
TEST(StatusJson, AnyAddressGivesAValidString)
{
    EXPECT_EQ(json_string("a\"b\\c\x01\x1F\x7F\xE9z"), "\"a\\\"b\\\\c\\u0001\\u001F\\u007F\\u00E9z\"");
    EXPECT_EQ(json_string(""), "\"\"");
}

TEST(StatusJson, IdleLinesShowNoCallerAndEveryLineIsListed)
{
    StatusFigures f{};
    f.lines[0].state = LINE_CONNECTED;
    std::snprintf(f.lines[0].address, sizeof f.lines[0].address, "caller.example");
    f.lines[0].seq_in = 0x12;
    std::snprintf(f.lines[1].address, sizeof f.lines[1].address, "gone.example");
    std::string json = status_json(f, nullptr);
    EXPECT_NE(json.find("{\"line\": 1, \"state\": \"connected\", \"seq_in\": 18, \"seq_out\": 0, \"address\": \"caller.example\"},"),
              std::string::npos) << json;
    EXPECT_NE(json.find("{\"line\": 2, \"state\": \"idle\", \"seq_in\": 0, \"seq_out\": 0, \"address\": \"\"},"),
              std::string::npos) << json;
    EXPECT_NE(json.find("{\"line\": 96, \"state\": \"idle\", \"seq_in\": 0, \"seq_out\": 0, \"address\": \"\"}\n  ]\n}\n"),
              std::string::npos) << json;
    EXPECT_NE(json.find("\"lines_connected\": 1,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"idle_percent\": -1,"), std::string::npos) << "no page yet: " << json;
}

}
