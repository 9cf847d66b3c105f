// The WebSocket frames a caller sends, read whole or in pieces, and the
// handshake's checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "web/websocket_frames.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A client frame: masked with key unless masked is false.
Bytes client_frame(uint8_t first, const Bytes& payload, bool masked = true, uint8_t key = 0x5A)
{
    Bytes out = {first};
    const uint8_t mask_bit = masked ? 0x80 : 0;
    const size_t n = payload.size();
    if (n < 126) {
        out.push_back(uint8_t(mask_bit | n));
    } else if (n <= 0xFFFF) {
        out.insert(out.end(), {uint8_t(mask_bit | 126), uint8_t(n >> 8), uint8_t(n)});
    } else {
        out.push_back(uint8_t(mask_bit | 127));
        for (int i = 7; i >= 0; --i)
            out.push_back(uint8_t(uint64_t(n) >> (8 * i)));
    }
    const uint8_t mask[4] = {key, uint8_t(key + 1), uint8_t(key + 7), 0xFF};
    if (masked)
        out.insert(out.end(), mask, mask + 4);
    for (size_t i = 0; i < n; ++i)
        out.push_back(masked ? payload[i] ^ mask[i & 3] : payload[i]);
    return out;
}

Bytes every_value(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 7 + i / 256);
    return b;
}

Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Feeds stream in pieces of step bytes (0: whole), stopping at the end.
struct Read {
    bool ok;
    Bytes data;
    Bytes reply;
    WebSocketReader reader;
};
void feed(Read& r, const Bytes& stream, size_t step)
{
    r.ok = true;
    for (size_t at = 0; at < stream.size() && r.ok;) {
        const size_t n = step == 0 ? stream.size() : std::min(step, stream.size() - at);
        r.ok = r.reader.read(stream.data() + at, n, r.data, r.reply);
        at += n;
    }
}

// A close frame as a server sends it, written out byte by byte.
Bytes close_frame(uint16_t code, const std::string& reason)
{
    Bytes out = {0x88, uint8_t(2 + reason.size()), uint8_t(code >> 8), uint8_t(code)};
    out.insert(out.end(), reason.begin(), reason.end());
    return out;
}

TEST(WebSocketReader, DataFramesWholeOrInPiecesAtEverySize)
{
    for (size_t size : {size_t(0), size_t(1), size_t(125), size_t(126), size_t(65535), size_t(65536)}) {
        const Bytes payload = every_value(size);
        for (size_t step : {size_t(0), size_t(1), size_t(3), size_t(1000)}) {
            Read r;
            feed(r, client_frame(0x82, payload), step);
            EXPECT_TRUE(r.ok) << size << " " << step << " " << r.reader.reason();
            EXPECT_EQ(r.data, payload) << size << " " << step;
            EXPECT_TRUE(r.reply.empty());
        }
    }
}

TEST(WebSocketReader, FragmentsAndControlFramesBetweenThem)
{
    const Bytes stream = join({client_frame(0x02, {'a', 'b'}), client_frame(0x89, {'p', 'q'}, true, 1),
                               client_frame(0x8A, {}), client_frame(0x80, {'c'}, true, 9),
                               client_frame(0x82, {0xFF}, true, 3)});
    for (size_t step : {size_t(0), size_t(1), size_t(5)}) {
        Read r;
        feed(r, stream, step);
        EXPECT_TRUE(r.ok) << step;
        EXPECT_EQ(r.data, (Bytes{'a', 'b', 'c', 0xFF})) << step;
        // The ping is answered by a pong with its payload, unmasked.
        EXPECT_EQ(r.reply, (Bytes{0x8A, 2, 'p', 'q'})) << step;
    }
}

TEST(WebSocketReader, EndsTheConnectionWithTheRightCode)
{
    const struct {
        const char* what;
        Bytes stream;
        uint16_t code;
        const char* reason;
    } cases[] = {
        {"text frame", client_frame(0x81, {'h', 'i'}), WS_CLOSE_UNSUPPORTED_DATA, "text frames"},
        {"unmasked", client_frame(0x82, {'x'}, false), WS_CLOSE_PROTOCOL_ERROR, "not masked"},
        {"reserved bits", client_frame(0xC2, {'x'}), WS_CLOSE_PROTOCOL_ERROR, "reserved"},
        {"unknown data opcode", client_frame(0x83, {}), WS_CLOSE_PROTOCOL_ERROR, "opcode"},
        {"unknown control opcode", client_frame(0x8B, {}), WS_CLOSE_PROTOCOL_ERROR, "opcode"},
        {"frame over 64 KiB", client_frame(0x82, Bytes(65537)), WS_CLOSE_TOO_BIG, "64 KiB"},
        {"message over 64 KiB", join({client_frame(0x02, Bytes(40000)), client_frame(0x80, Bytes(30000))}),
         WS_CLOSE_TOO_BIG, "64 KiB"},
        {"control over 125", client_frame(0x89, Bytes(126)), WS_CLOSE_PROTOCOL_ERROR, "125"},
        {"fragmented control", client_frame(0x09, {}), WS_CLOSE_PROTOCOL_ERROR, "fragmented"},
        {"continuation alone", client_frame(0x80, {'x'}), WS_CLOSE_PROTOCOL_ERROR, "continuation"},
        {"message inside a message", join({client_frame(0x02, {'x'}), client_frame(0x82, {'y'})}),
         WS_CLOSE_PROTOCOL_ERROR, "before the last"},
    };
    for (const auto& c : cases) {
        Read r;
        feed(r, c.stream, 0);
        EXPECT_FALSE(r.ok) << c.what;
        EXPECT_EQ(r.reader.close_code(), c.code) << c.what;
        EXPECT_NE(r.reader.reason().find(c.reason), std::string::npos) << c.what << ": " << r.reader.reason();
        ASSERT_GE(r.reply.size(), 4u) << c.what;
        EXPECT_EQ(r.reply, close_frame(c.code, r.reader.reason())) << c.what;
        EXPECT_FALSE(r.reader.peer_closed()) << c.what;
        // Nothing more is read once it has ended.
        Bytes more = client_frame(0x82, {'z'});
        EXPECT_FALSE(r.reader.read(more.data(), more.size(), r.data, r.reply)) << c.what;
    }
}

TEST(WebSocketReader, ACloseIsAnsweredWithTheSameCode)
{
    Read r;
    feed(r, join({client_frame(0x82, {'a'}), client_frame(0x88, {0x03, 0xE9, 'b', 'y', 'e'})}), 2);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.reader.peer_closed());
    EXPECT_EQ(r.data, Bytes{'a'});
    EXPECT_EQ(r.reply, (Bytes{0x88, 2, 0x03, 0xE9}));
}

TEST(WebSocketFrames, ServerFramesAndTheHandshake)
{
    Bytes out;
    ws_append_frame(WS_OP_BINARY, every_value(65536).data(), 65536, out);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 10), (Bytes{0x82, 127, 0, 0, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(out.size(), 65546u);
    for (uint64_t size : {125u, 126u, 65535u, 65536u})
        EXPECT_EQ(ws_header_size(size), size < 126 ? 2u : size < 65536 ? 4u : 10u);

    // The example key of the protocol's definition.
    EXPECT_EQ(ws_accept_key("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");

    const std::string upgrade = "websocket", connection = "keep-alive, Upgrade", version = "13",
                      key = "dGhlIHNhbXBsZSBub25jZQ==", binary = "chat, binary", chat = "chat", old = "8",
                      short_key = "abc=";
    const struct {
        WebSocketOffer offer;
        const char* method;
        bool ok;
        const char* protocol;
    } offers[] = {
        {{&upgrade, &connection, &version, &key, nullptr}, "GET", true, ""},
        {{&upgrade, &connection, &version, &key, &binary}, "GET", true, "binary"},
        {{&upgrade, &connection, &version, &key, &chat}, "GET", false, ""},
        {{&upgrade, &connection, &old, &key, nullptr}, "GET", false, ""},
        {{&upgrade, &connection, &version, &short_key, nullptr}, "GET", false, ""},
        {{nullptr, &connection, &version, &key, nullptr}, "GET", false, ""},
        {{&upgrade, &connection, &version, &key, nullptr}, "POST", false, ""},
    };
    for (const auto& o : offers) {
        std::string protocol = "x", why;
        EXPECT_EQ(ws_check_offer(o.method, o.offer, protocol, why), o.ok) << why;
        EXPECT_EQ(protocol, o.protocol);
        EXPECT_EQ(why.empty(), o.ok) << why;
    }
}

}
