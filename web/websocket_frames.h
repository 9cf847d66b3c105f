// The WebSocket frames of a call, server side: the client's frames read
// piece by piece as they arrive, the server's built (binary, unmasked),
// and the opening handshake checked and answered.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Close codes this server sends.
constexpr uint16_t WS_CLOSE_NORMAL = 1000;
constexpr uint16_t WS_CLOSE_PROTOCOL_ERROR = 1002;
constexpr uint16_t WS_CLOSE_UNSUPPORTED_DATA = 1003;
constexpr uint16_t WS_CLOSE_TOO_BIG = 1009;

// The largest frame, and message, a caller may send.
constexpr uint64_t WS_MAX_MESSAGE = 64 * 1024;

constexpr uint8_t WS_OP_CONTINUATION = 0x0;
constexpr uint8_t WS_OP_TEXT = 0x1;
constexpr uint8_t WS_OP_BINARY = 0x2;
constexpr uint8_t WS_OP_CLOSE = 0x8;
constexpr uint8_t WS_OP_PING = 0x9;
constexpr uint8_t WS_OP_PONG = 0xA;

// Reads a client's frames. Data frames' payload bytes come out unmasked as
// they arrive; a ping is answered with a pong and a close with a close,
// both appended to the reply bytes the caller of read sends.
class WebSocketReader {
public:
    // Takes in[0..count): data bytes go to data (appended), control
    // replies to reply. False once the connection must end: the close
    // frame (a reply to the client's close, or one with the code and
    // reason of the fault) is then in reply, and reason() says why.
    bool read(const uint8_t* in, size_t count, std::vector<uint8_t>& data, std::vector<uint8_t>& reply);

    // Set once read returned false: the close code sent and why.
    uint16_t close_code() const { return close_code_; }
    const std::string& reason() const { return reason_; }
    // The client sent a close frame (it was answered).
    bool peer_closed() const { return peer_closed_; }

private:
    bool fail(uint16_t code, const char* why, std::vector<uint8_t>& reply);
    bool header_done(std::vector<uint8_t>& reply);
    bool control_done(std::vector<uint8_t>& reply);

    // The frame's header bytes so far (2 to 14).
    uint8_t header_[14] = {};
    size_t header_have_ = 0;
    size_t header_need_ = 2;
    bool in_payload_ = false;
    uint8_t opcode_ = 0;
    bool fin_ = false;
    uint8_t mask_[4] = {};
    uint64_t payload_size_ = 0;
    uint64_t payload_have_ = 0;
    // A data message's bytes so far, over its frames; whether one is open.
    uint64_t message_size_ = 0;
    bool in_message_ = false;
    // A control frame's payload, whole before it is acted on (125 bytes at most).
    std::vector<uint8_t> control_;
    bool failed_ = false;
    bool peer_closed_ = false;
    uint16_t close_code_ = 0;
    std::string reason_;
};

// A server frame's header: 2, 4 or 10 bytes for a payload of size bytes.
size_t ws_header_size(uint64_t size);
// Writes the header of an unmasked final frame to out (room for 10); its size.
size_t ws_write_header(uint8_t opcode, uint64_t size, uint8_t* out);
// Appends a whole frame to out.
void ws_append_frame(uint8_t opcode, const uint8_t* payload, size_t size, std::vector<uint8_t>& out);
// Appends a close frame with code and reason (cut to fit 125 bytes).
void ws_append_close(uint16_t code, const std::string& reason, std::vector<uint8_t>& out);

// The Sec-WebSocket-Accept value for a client's Sec-WebSocket-Key.
std::string ws_accept_key(const std::string& client_key);

// What the opening handshake asked for, as its headers say.
struct WebSocketOffer {
    const std::string* upgrade = nullptr;
    const std::string* connection = nullptr;
    const std::string* version = nullptr;
    const std::string* key = nullptr;
    const std::string* protocols = nullptr;
};
// Whether the offer is a valid opening handshake this server takes: a GET
// asking to upgrade to websocket, version 13, a key of 16 bytes in base64,
// and either no subprotocol or "binary" among those offered. False with
// why (for a 400 reply). protocol receives "binary" when it is to be named
// in the reply, else empty.
bool ws_check_offer(const std::string& method, const WebSocketOffer& offer, std::string& protocol, std::string& why);
