#include "web/websocket_frames.h"

#include <algorithm>
#include <cstring>
#include <openssl/sha.h>
#include <strings.h>

namespace {

constexpr char BASE64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char HANDSHAKE_GUID[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

std::string base64(const uint8_t* in, size_t count)
{
    std::string out;
    for (size_t i = 0; i < count; i += 3) {
        const uint32_t n = uint32_t(in[i]) << 16 | (i + 1 < count ? uint32_t(in[i + 1]) << 8 : 0) |
                           (i + 2 < count ? uint32_t(in[i + 2]) : 0);
        out += BASE64[n >> 18 & 63];
        out += BASE64[n >> 12 & 63];
        out += i + 1 < count ? BASE64[n >> 6 & 63] : '=';
        out += i + 2 < count ? BASE64[n & 63] : '=';
    }
    return out;
}

// Whether a comma-separated header value holds token (any case).
bool has_token(const std::string* value, const char* token)
{
    if (!value)
        return false;
    const size_t length = std::strlen(token);
    size_t from = 0;
    while (from <= value->size()) {
        size_t end = value->find(',', from);
        if (end == std::string::npos)
            end = value->size();
        size_t a = value->find_first_not_of(" \t", from);
        size_t b = end;
        while (b > from && ((*value)[b - 1] == ' ' || (*value)[b - 1] == '\t'))
            --b;
        if (a < b && b - a == length && strncasecmp(value->c_str() + a, token, length) == 0)
            return true;
        from = end + 1;
    }
    return false;
}

}

bool WebSocketReader::fail(uint16_t code, const char* why, std::vector<uint8_t>& reply)
{
    failed_ = true;
    close_code_ = code;
    reason_ = why;
    ws_append_close(code, reason_, reply);
    return false;
}

bool WebSocketReader::header_done(std::vector<uint8_t>& reply)
{
    const uint8_t b0 = header_[0];
    const uint8_t b1 = header_[1];
    if (header_need_ == 2) {
        // The first two bytes say how many more the header has.
        if (b0 & 0x70)
            return fail(WS_CLOSE_PROTOCOL_ERROR, "reserved bits set", reply);
        if (!(b1 & 0x80))
            return fail(WS_CLOSE_PROTOCOL_ERROR, "frame not masked", reply);
        const uint8_t length = b1 & 0x7F;
        header_need_ = 2 + (length == 126 ? 2 : length == 127 ? 8 : 0) + 4;
        if (header_have_ < header_need_)
            return true;
    }
    opcode_ = b0 & 0x0F;
    fin_ = (b0 & 0x80) != 0;
    uint64_t size = b1 & 0x7F;
    size_t at = 2;
    if (size >= 126) {
        const size_t bytes = size == 126 ? 2 : 8;
        size = 0;
        for (size_t i = 0; i < bytes; ++i)
            size = size << 8 | header_[at++];
    }
    std::memcpy(mask_, header_ + at, 4);
    payload_size_ = size;
    payload_have_ = 0;
    const bool control = opcode_ & 0x08;
    if (control) {
        if (opcode_ != WS_OP_CLOSE && opcode_ != WS_OP_PING && opcode_ != WS_OP_PONG)
            return fail(WS_CLOSE_PROTOCOL_ERROR, "unknown opcode", reply);
        if (!fin_ || size > 125)
            return fail(WS_CLOSE_PROTOCOL_ERROR, "control frame fragmented or over 125 bytes", reply);
        control_.clear();
    } else if (opcode_ == WS_OP_TEXT) {
        return fail(WS_CLOSE_UNSUPPORTED_DATA, "text frames are not taken: send binary frames", reply);
    } else if (opcode_ == WS_OP_BINARY) {
        if (in_message_)
            return fail(WS_CLOSE_PROTOCOL_ERROR, "new message before the last one ended", reply);
        in_message_ = true;
        message_size_ = 0;
    } else if (opcode_ == WS_OP_CONTINUATION) {
        if (!in_message_)
            return fail(WS_CLOSE_PROTOCOL_ERROR, "continuation without a message", reply);
    } else {
        return fail(WS_CLOSE_PROTOCOL_ERROR, "unknown opcode", reply);
    }
    if (!control) {
        if (size > WS_MAX_MESSAGE || message_size_ + size > WS_MAX_MESSAGE)
            return fail(WS_CLOSE_TOO_BIG, "frame or message larger than 64 KiB", reply);
        message_size_ += size;
        if (fin_)
            in_message_ = false;
    }
    in_payload_ = true;
    return true;
}

bool WebSocketReader::control_done(std::vector<uint8_t>& reply)
{
    if (opcode_ == WS_OP_PING) {
        ws_append_frame(WS_OP_PONG, control_.data(), control_.size(), reply);
        return true;
    }
    if (opcode_ == WS_OP_CLOSE) {
        peer_closed_ = true;
        failed_ = true;
        close_code_ = control_.size() >= 2 ? uint16_t(control_[0] << 8 | control_[1]) : WS_CLOSE_NORMAL;
        reason_ = "closed by the caller";
        // The reply echoes the client's code; a close without one is answered
        // with a plain close.
        ws_append_frame(WS_OP_CLOSE, control_.data(), control_.size() >= 2 ? 2 : 0, reply);
        return false;
    }
    return true; // a pong: nothing to do
}

bool WebSocketReader::read(const uint8_t* in, size_t count, std::vector<uint8_t>& data, std::vector<uint8_t>& reply)
{
    if (failed_)
        return false;
    size_t i = 0;
    while (i < count || (in_payload_ && payload_have_ == payload_size_)) {
        if (!in_payload_) {
            while (i < count && header_have_ < header_need_)
                header_[header_have_++] = in[i++];
            if (header_have_ < header_need_)
                return true;
            if (!header_done(reply))
                return false;
            continue;
        }
        const uint64_t left = payload_size_ - payload_have_;
        const size_t take = size_t(std::min<uint64_t>(left, count - i));
        const bool control = opcode_ & 0x08;
        for (size_t k = 0; k < take; ++k) {
            const uint8_t b = in[i + k] ^ mask_[(payload_have_ + k) & 3];
            if (control)
                control_.push_back(b);
            else
                data.push_back(b);
        }
        i += take;
        payload_have_ += take;
        if (payload_have_ < payload_size_)
            return true;
        // The frame is whole: the next header follows.
        in_payload_ = false;
        header_have_ = 0;
        header_need_ = 2;
        if (control && !control_done(reply))
            return false;
    }
    return true;
}

size_t ws_header_size(uint64_t size)
{
    return size < 126 ? 2 : size <= 0xFFFF ? 4 : 10;
}

size_t ws_write_header(uint8_t opcode, uint64_t size, uint8_t* out)
{
    out[0] = uint8_t(0x80 | opcode);
    if (size < 126) {
        out[1] = uint8_t(size);
        return 2;
    }
    if (size <= 0xFFFF) {
        out[1] = 126;
        out[2] = uint8_t(size >> 8);
        out[3] = uint8_t(size);
        return 4;
    }
    out[1] = 127;
    for (int i = 0; i < 8; ++i)
        out[2 + i] = uint8_t(size >> (56 - 8 * i));
    return 10;
}

void ws_append_frame(uint8_t opcode, const uint8_t* payload, size_t size, std::vector<uint8_t>& out)
{
    uint8_t header[10];
    const size_t n = ws_write_header(opcode, size, header);
    out.insert(out.end(), header, header + n);
    out.insert(out.end(), payload, payload + size);
}

void ws_append_close(uint16_t code, const std::string& reason, std::vector<uint8_t>& out)
{
    uint8_t payload[125] = {uint8_t(code >> 8), uint8_t(code)};
    const size_t text = std::min<size_t>(reason.size(), 123);
    std::memcpy(payload + 2, reason.data(), text);
    ws_append_frame(WS_OP_CLOSE, payload, 2 + text, out);
}

std::string ws_accept_key(const std::string& client_key)
{
    const std::string joined = client_key + HANDSHAKE_GUID;
    uint8_t digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const uint8_t*>(joined.data()), joined.size(), digest);
    return base64(digest, sizeof digest);
}

bool ws_check_offer(const std::string& method, const WebSocketOffer& offer, std::string& protocol, std::string& why)
{
    protocol.clear();
    if (method != "GET")
        why = "a WebSocket opens with GET";
    else if (!has_token(offer.upgrade, "websocket") || !has_token(offer.connection, "upgrade"))
        why = "not a WebSocket upgrade (Upgrade: websocket, Connection: Upgrade)";
    else if (!offer.version || *offer.version != "13")
        why = "Sec-WebSocket-Version must be 13";
    else if (!offer.key || offer.key->size() != 24 || offer.key->compare(22, 2, "==") != 0 ||
             offer.key->find_first_not_of(BASE64) != 22)
        why = "Sec-WebSocket-Key must be 16 bytes in base64";
    else if (offer.protocols && !has_token(offer.protocols, "binary"))
        why = "the only subprotocol offered here is binary";
    else {
        if (offer.protocols)
            protocol = "binary";
        return true;
    }
    return false;
}
