// The request parser on heads that come whole, in two pieces split at every
// byte, and one byte at a time: the outcome never depends on how the
// connection cut them up.
#include <gtest/gtest.h>

#include <algorithm>

#include "web/http_request.h"

namespace {

using Result = HttpRequestParser::Result;

struct Outcome {
    Result result = Result::NeedMore;
    size_t used = 0;  // of all the bytes fed, up to the end of the head
    HttpRequest request;
    std::string error;
};

// Feeds text cut at the given points; stops at the first verdict.
Outcome parse(const std::string& text, const std::vector<size_t>& cuts)
{
    HttpRequestParser parser;
    Outcome o;
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(text.size());
    for (size_t end : ends) {
        size_t used = 0;
        o.result = parser.feed(reinterpret_cast<const uint8_t*>(text.data()) + from, end - from, used);
        o.used += used;
        from = end;
        if (o.result != Result::NeedMore)
            break;
    }
    o.request = parser.request();
    o.error = parser.error();
    return o;
}

struct Case {
    const char* name;
    std::string text;
    Result result;
    size_t used;                // Complete: where the head ends
    const char* path_or_error;  // Complete: the path; Malformed: a word of the reason
};

const std::string big_value(HttpRequestParser::MAX_HEAD_BYTES, 'a');
// A head of exactly the limit: "GET / HTTP/1.1\r\n" (16) + "X: " + value + "\r\n\r\n".
const std::string at_limit = "GET / HTTP/1.1\r\nX: " + std::string(HttpRequestParser::MAX_HEAD_BYTES - 23, 'a') + "\r\n\r\n";

const Case cases[] = {
    {"crlf", "GET /metrics?a=1&b HTTP/1.1\r\nHost: h\r\nX-Thing: \t two words \r\n\r\nafter", Result::Complete, 63,
     "/metrics"},
    {"bare lf", "HEAD /status.json HTTP/1.0\nHost: h\n\n", Result::Complete, 36, "/status.json"},
    {"mixed endings", "GET / HTTP/1.1\r\nHost: h\n\r\n", Result::Complete, 26, "/"},
    {"blank line first", "\r\nGET /x HTTP/1.1\r\n\r\n", Result::Complete, 21, "/x"},
    {"empty value", "GET / HTTP/1.1\r\nX-Empty:\r\n\r\n", Result::Complete, 28, "/"},
    {"at the limit", at_limit, Result::Complete, at_limit.size(), "/"},
    {"unfinished", "GET / HTTP/1.1\r\nHost: h\r\n", Result::NeedMore, 0, ""},
    {"too large", "GET / HTTP/1.1\r\nX: " + big_value + "\r\n\r\n", Result::Malformed, 0, "8 KiB"},
    {"folded", "GET / HTTP/1.1\r\nX: a\r\n b\r\n\r\n", Result::Malformed, 0, "folded"},
    {"folded by tab", "GET / HTTP/1.1\r\nX: a\r\n\tb\r\n\r\n", Result::Malformed, 0, "folded"},
    {"no colon", "GET / HTTP/1.1\r\nHost h\r\n\r\n", Result::Malformed, 0, "colon"},
    {"blank before colon", "GET / HTTP/1.1\r\nHost : h\r\n\r\n", Result::Malformed, 0, "header name"},
    {"two parts", "GET /\r\n\r\n", Result::Malformed, 0, "request line"},
    {"four parts", "GET / x HTTP/1.1\r\n\r\n", Result::Malformed, 0, "request line"},
    {"bad method", "G(T / HTTP/1.1\r\n\r\n", Result::Malformed, 0, "method"},
    {"other version", "GET / HTTP/2.0\r\n\r\n", Result::Malformed, 0, "HTTP/1.1"},
    {"absolute target", "GET http://h/ HTTP/1.1\r\n\r\n", Result::Malformed, 0, "path"},
    {"control in target", std::string("GET /a\0b HTTP/1.1\r\n\r\n", 21), Result::Malformed, 0, "target"},
    {"control in value", "GET / HTTP/1.1\r\nX: a\x01" "b\r\n\r\n", Result::Malformed, 0, "value"},
    {"bare cr in value", "GET / HTTP/1.1\r\nX: a\rb\r\n\r\n", Result::Malformed, 0, "value"},
};

TEST(HttpRequestParser, EveryCutGivesTheSameOutcome)
{
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::vector<size_t>> splits = {{}};
        // Every byte of the short heads; a few hundred points of the long ones.
        const size_t step = std::max<size_t>(1, c.text.size() / 256);
        for (size_t at = 1; at < c.text.size(); at += step)
            splits.push_back({at});
        std::vector<size_t> every_byte;
        for (size_t at = 1; at < c.text.size(); ++at)
            every_byte.push_back(at);
        splits.push_back(every_byte);
        for (const auto& cuts : splits) {
            Outcome o = parse(c.text, cuts);
            ASSERT_EQ(o.result, c.result) << "cut at " << (cuts.empty() ? 0 : cuts[0]) << " of " << cuts.size()
                                          << ": " << o.error;
            if (c.result == Result::Complete) {
                ASSERT_EQ(o.used, c.used);
                ASSERT_EQ(o.request.path, c.path_or_error);
            } else if (c.result == Result::Malformed) {
                ASSERT_NE(o.error.find(c.path_or_error), std::string::npos) << o.error;
            }
        }
    }
}

TEST(HttpRequestParser, KeepsTheQueryAndHeadersWithLowercasedNames)
{
    Outcome o = parse(cases[0].text, {});
    ASSERT_EQ(o.result, Result::Complete);
    EXPECT_EQ(o.request.method, "GET");
    EXPECT_EQ(o.request.query, "a=1&b");
    EXPECT_EQ(o.request.version, "HTTP/1.1");
    ASSERT_NE(o.request.header("x-thing"), nullptr);
    EXPECT_EQ(*o.request.header("x-thing"), "two words");
    EXPECT_EQ(*o.request.header("host"), "h");
    EXPECT_EQ(o.request.header("Host"), nullptr) << "names are looked up in lower case";
    EXPECT_EQ(o.request.header("cookie"), nullptr);
}

}
