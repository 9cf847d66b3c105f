// The PROXY protocol header, both versions: what is taken, what waits for
// more, and what is refused, fed whole and one byte at a time.
#include "calls/proxy_header.h"

#include <gtest/gtest.h>

namespace {

std::string v2(uint8_t command, uint8_t family, const std::string& body)
{
    std::string h("\r\n\r\n\0\r\nQUIT\n", 12);
    h += char(0x20 | command);
    h += char(family);
    h += char(body.size() >> 8);
    h += char(body.size() & 0xFF);
    return h + body;
}

// 192.0.2.7:40001 -> 198.51.100.1:23, then one extension of 3 bytes.
const std::string V4_BODY("\xC0\x00\x02\x07\xC6\x33\x64\x01\x9C\x41\x00\x17\x04\x00\x00", 15);
const std::string V6_BODY = std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + "\x09" +
                            std::string(16, '\0') + std::string("\x9C\x41\x00\x17", 4);

struct Case {
    const char* name;
    std::string bytes;  // the header and, after it, the caller's first bytes
    ProxyParse result;
    ProxyHeader::Kind kind;
    const char* source;  // address text, for a Proxied header
    uint16_t port;
    size_t length;
};

TEST(ProxyHeader, BothVersionsWholeAndByteByByte)
{
    const Case cases[] = {
        {"v1 TCP4", "PROXY TCP4 192.0.2.7 198.51.100.1 40001 23\r\nhi", ProxyParse::Done,
         ProxyHeader::Kind::Proxied, "192.0.2.7", 40001, 44},
        {"v1 TCP6", "PROXY TCP6 2001:db8::9 ::1 40001 23\r\n", ProxyParse::Done, ProxyHeader::Kind::Proxied,
         "2001:db8::9", 40001, 37},
        {"v1 UNKNOWN", "PROXY UNKNOWN\r\n", ProxyParse::Done, ProxyHeader::Kind::Local, "", 0, 15},
        {"v2 TCP4", v2(1, 0x11, V4_BODY) + "x", ProxyParse::Done, ProxyHeader::Kind::Proxied, "192.0.2.7", 40001,
         31},
        {"v2 TCP6", v2(1, 0x21, V6_BODY), ProxyParse::Done, ProxyHeader::Kind::Proxied, "2001:db8::9", 40001, 52},
        {"v2 LOCAL", v2(0, 0x00, ""), ProxyParse::Done, ProxyHeader::Kind::Local, "", 0, 16},
        {"v2 UNSPEC", v2(1, 0x00, "abc"), ProxyParse::Done, ProxyHeader::Kind::Local, "", 0, 19},
        {"no header", "login: guest\r\n", ProxyParse::NotProxy, {}, "", 0, 0},
        {"v1 lower case", "proxy TCP4 192.0.2.7 198.51.100.1 1 2\r\n", ProxyParse::NotProxy, {}, "", 0, 0},
        {"v1 family mismatch", "PROXY TCP4 2001:db8::9 ::1 1 2\r\n", ProxyParse::Invalid, {}, "", 0, 0},
        {"v1 port too big", "PROXY TCP4 192.0.2.7 198.51.100.1 65536 2\r\n", ProxyParse::Invalid, {}, "", 0, 0},
        {"v1 double space", "PROXY TCP4  192.0.2.7 198.51.100.1 1 2\r\n", ProxyParse::Invalid, {}, "", 0, 0},
        {"v1 extra field", "PROXY TCP4 192.0.2.7 198.51.100.1 1 2 3\r\n", ProxyParse::Invalid, {}, "", 0, 0},
        {"v1 bare LF", "PROXY TCP4 192.0.2.7 198.51.100.1 1 2\n", ProxyParse::Invalid, {}, "", 0, 0},
        {"v1 name", "PROXY TCP4 localhost 198.51.100.1 1 2\r\n", ProxyParse::Invalid, {}, "", 0, 0},
        {"v1 too long", "PROXY TCP4 " + std::string(100, '1'), ProxyParse::Invalid, {}, "", 0, 0},
        {"v2 version 1", v2(1, 0x11, V4_BODY).replace(12, 1, "\x11"), ProxyParse::Invalid, {}, "", 0, 0},
        {"v2 command 2", v2(2, 0x11, V4_BODY), ProxyParse::Invalid, {}, "", 0, 0},
        {"v2 short body", v2(1, 0x11, V4_BODY.substr(0, 11)), ProxyParse::Invalid, {}, "", 0, 0},
        {"v2 too long", v2(1, 0x11, std::string(2000, '\0')), ProxyParse::Invalid, {}, "", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto* bytes = reinterpret_cast<const uint8_t*>(c.bytes.data());
        // Byte by byte: more is asked for until the verdict, which is the
        // one the whole gives.
        ProxyHeader header;
        std::string why;
        ProxyParse result = ProxyParse::NeedMore;
        size_t fed = 0;
        while (result == ProxyParse::NeedMore && fed < c.bytes.size())
            result = parse_proxy_header(bytes, ++fed, header, why);
        ASSERT_EQ(result, c.result) << why;
        EXPECT_EQ(parse_proxy_header(bytes, c.bytes.size(), header, why), c.result);
        if (c.result == ProxyParse::Invalid || c.result == ProxyParse::NotProxy) {
            EXPECT_FALSE(why.empty());
            continue;
        }
        EXPECT_EQ(header.kind, c.kind);
        EXPECT_EQ(header.length, c.length);
        if (c.kind == ProxyHeader::Kind::Proxied) {
            char text[TCP_ADDRESS_TEXT];
            tcp_address_text(header.source, text);
            EXPECT_STREQ(text, c.source);
            EXPECT_EQ(header.source.port, c.port);
        }
    }
}

}
