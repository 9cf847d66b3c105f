#include "web/http_request.h"

#include <cstring>

namespace {
// The characters of a method or a header name.
bool is_token_char(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')
        return true;
    return c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool is_token(const std::string& text)
{
    if (text.empty())
        return false;
    for (unsigned char c : text)
        if (!is_token_char(c))
            return false;
    return true;
}

std::string trim_blanks(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}
}

const std::string* HttpRequest::header(const char* name) const
{
    for (const auto& h : headers)
        if (h.first == name)
            return &h.second;
    return nullptr;
}

HttpRequestParser::Result HttpRequestParser::feed(const uint8_t* bytes, size_t length, size_t& used)
{
    used = 0;
    for (size_t i = 0; i < length; ++i) {
        if (head_.size() >= MAX_HEAD_BYTES) {
            refuse("request head larger than 8 KiB");
            return Result::Malformed;
        }
        head_.push_back(char(bytes[i]));
        if (bytes[i] != '\n')
            continue;
        // A line that holds nothing (or only its CR) ends the head.
        size_t line_length = head_.size() - line_start_;
        bool blank = line_length == 1 || (line_length == 2 && head_[line_start_] == '\r');
        line_start_ = head_.size();
        // Blank lines before the request line are tolerated; the first one
        // after it ends the head.
        if (!blank)
            started_ = true;
        if (!blank || !started_)
            continue;
        used = i + 1;
        return parse_head() ? Result::Complete : Result::Malformed;
    }
    used = length;
    return Result::NeedMore;
}

bool HttpRequestParser::refuse(const char* why)
{
    error_ = why;
    return false;
}

bool HttpRequestParser::parse_head()
{
    size_t start = 0;
    bool first = true;
    while (start < head_.size()) {
        size_t end = head_.find('\n', start);
        std::string line = head_.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        start = end + 1;
        if (line.empty()) {
            if (first)
                continue;
            break;
        }
        if (first) {
            if (!parse_request_line(line))
                return false;
            first = false;
        } else if (!parse_header_line(line)) {
            return false;
        }
    }
    if (first)
        return refuse("no request line");
    return true;
}

bool HttpRequestParser::parse_request_line(const std::string& line)
{
    size_t space1 = line.find(' ');
    size_t space2 = space1 == std::string::npos ? space1 : line.find(' ', space1 + 1);
    if (space2 == std::string::npos || line.find(' ', space2 + 1) != std::string::npos)
        return refuse("request line is not: method target version");
    request_.method = line.substr(0, space1);
    std::string target = line.substr(space1 + 1, space2 - space1 - 1);
    request_.version = line.substr(space2 + 1);
    if (!is_token(request_.method))
        return refuse("bad method");
    if (request_.version != "HTTP/1.1" && request_.version != "HTTP/1.0")
        return refuse("not HTTP/1.0 or HTTP/1.1");
    if (target.empty() || target[0] != '/')
        return refuse("target is not a path");
    for (unsigned char c : target)
        if (c <= ' ' || c == 0x7f)
            return refuse("control character in target");
    size_t question = target.find('?');
    request_.path = target.substr(0, question);
    if (question != std::string::npos)
        request_.query = target.substr(question + 1);
    return true;
}

bool HttpRequestParser::parse_header_line(const std::string& line)
{
    if (line[0] == ' ' || line[0] == '\t')
        return refuse("folded header line");
    size_t colon = line.find(':');
    if (colon == std::string::npos)
        return refuse("header line without a colon");
    std::string name = line.substr(0, colon);
    if (!is_token(name))
        return refuse("bad header name");
    for (char& c : name)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    std::string value = trim_blanks(line.substr(colon + 1));
    for (unsigned char c : value)
        if ((c < ' ' && c != '\t') || c == 0x7f)
            return refuse("control character in header value");
    request_.headers.emplace_back(std::move(name), std::move(value));
    return true;
}
