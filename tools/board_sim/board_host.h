// BoardHost: the board side of KNET for the simulator: lines, circuits,
// the menu on each line and the switches that inject faults.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ipx/ipx_endpoint.h"
#include "tools/board_sim/board_menu.h"
#include "tools/board_sim/board_options.h"

class IpxStack;

// What poll returns when only a datagram can give the host work.
constexpr uint64_t BOARD_NOTHING_DUE = UINT64_MAX;

class BoardHost {
public:
    // The process-wide IPX stack unless another is given.
    explicit BoardHost(const BoardOptions& options, IpxStack* stack = nullptr);
    ~BoardHost();
    BoardHost(const BoardHost&) = delete;
    BoardHost& operator=(const BoardHost&) = delete;

    // Binds the KNET socket. 0, or -1.
    int open();
    uint16_t socket_number() const;
    // True once the IPX stack has joined the network (the socket can send).
    bool joined();
    // One pass: every waiting datagram, the timers, then what is to be sent.
    // Returns when the next pass is due on now_ms's clock: now_ms when there
    // is more to do at once, BOARD_NOTHING_DUE when only a datagram can give
    // the host work.
    uint64_t poll(uint64_t now_ms);
    void close();

    // One datagram's packets from peer, as poll hands them over.
    void handle_datagram(const IpxAddress& from, const uint8_t* bytes, int count, uint64_t now_ms);
    int active_lines() const;

    // Test hooks.
    // Datagrams built and not yet sent (tests drive the host without a network).
    std::vector<std::pair<IpxAddress, std::vector<uint8_t>>> take_outgoing();

private:
    struct Line;
    void handle_packet(const IpxAddress& from, uint8_t type, uint8_t circuit, uint16_t sequence,
                       const uint8_t* payload, int length, uint64_t now_ms);
    void connect(const IpxAddress& from, uint16_t request_sequence, uint64_t now_ms);
    void take_data(Line& line, uint8_t circuit, uint16_t sequence, const uint8_t* payload, int length);
    void send_pending(Line& line, uint64_t now_ms);
    uint64_t next_due(uint64_t now_ms);
    void send_control(Line& line, uint8_t control, uint8_t flag);
    void end_line(Line& line, const char* why);
    Line* owned_line(const IpxAddress& from, uint8_t circuit);
    Line* line_of_peer(const IpxAddress& from);
    std::string who_text() const;
    void queue(const IpxAddress& to, const uint8_t* bytes, int count);
    void flush();

    BoardOptions options_;
    IpxStack* stack_;
    std::unique_ptr<IpxEndpoint> endpoint_;
    std::vector<std::unique_ptr<Line>> lines_;  // index 0 is line 1
    std::vector<std::pair<IpxAddress, std::vector<uint8_t>>> outgoing_;
    uint16_t circuit0_sequence_ = 1;
    unsigned long packets_received_ = 0;
    unsigned long data_received_ = 0;
    unsigned long data_sent_ = 0;
    uint8_t receive_buffer_[16640];
};
