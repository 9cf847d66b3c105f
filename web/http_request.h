// HttpRequest and HttpRequestParser: one HTTP/1.x request head, read a piece
// at a time from a connection that may deliver it in any number of pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "port/tcp.h"

struct HttpRequest {
    std::string method;   // as sent: "GET"
    std::string path;     // the target up to '?', not decoded: "/call"
    std::string query;    // after '?', without it; empty when none
    std::string version;  // "HTTP/1.1" or "HTTP/1.0"
    // In the order sent; names lowercased, values without surrounding blanks.
    std::vector<std::pair<std::string, std::string>> headers;
    TcpAddress peer;

    // The first header of that name (given in lower case), or null.
    const std::string* header(const char* name) const;
};

class HttpRequestParser {
public:
    // The request line and the headers together may take no more.
    static constexpr size_t MAX_HEAD_BYTES = 8192;

    enum class Result { NeedMore, Complete, Malformed };

    // Takes the next bytes of the connection. Complete: the head ended within
    // them after `used` of them (the rest belong to whatever follows the
    // request). Malformed: error() says why. Nothing may be fed after either.
    Result feed(const uint8_t* bytes, size_t length, size_t& used);

    const HttpRequest& request() const { return request_; }
    HttpRequest& request() { return request_; }
    // Why the head was refused, short, for a 400 reply.
    const std::string& error() const { return error_; }

private:
    bool parse_head();
    bool parse_request_line(const std::string& line);
    bool parse_header_line(const std::string& line);
    bool refuse(const char* why);

    std::string head_;
    size_t line_start_ = 0;
    bool started_ = false;  // a line other than a blank one has come
    HttpRequest request_;
    std::string error_;
};
