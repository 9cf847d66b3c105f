// Callers on loopback driven from one thread: connecting, typing and
// timing the echo, streaming the test pattern either way, and calling a
// refusing adapter over and over. Every byte that arrives is checked.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "telnet/telnet_codec.h"
#include "tests/support/ssh_caller_link.h"

struct Caller {
    int fd = -1;
    TelnetInputState telnet = TelnetInputState::Data;
    std::string head;  // text before the data path opened
    std::string data;  // data bytes not yet taken
    bool ready = false;
    bool closed = false;
    int line = 0;  // the board line, through the adapter
    int64_t ready_ns = 0;
    // Over SSH: the channel, which owns fd; the bytes come raw.
    std::unique_ptr<support::SshCallerLink> ssh;
};

// Bytes read, 0 when the peer has closed, -1 when none are there now.
int caller_receive(Caller& c, uint8_t* buffer, int size);
// Bytes taken (0 when none can be now), or -1.
int caller_send(Caller& c, const void* bytes, int count);

class CallerGroup {
public:
    // through_adapter: the data path opens with "Connected to KELB line N";
    // otherwise as soon as the connection is made.
    explicit CallerGroup(bool through_adapter) : through_adapter_(through_adapter) {}
    // Text with which a relay turns a caller away when the line is still
    // closing from the last call; such a caller dials again.
    void set_busy_text(const std::string& text) { busy_text_ = text; }
    // Callers dial over SSH, naming this terminal type.
    void set_ssh(const std::string& terminal) { ssh_terminal_ = terminal; }
    ~CallerGroup();
    CallerGroup(const CallerGroup&) = delete;
    CallerGroup& operator=(const CallerGroup&) = delete;

    // Connects count callers, caller i to ports[i % ports.size()], and waits
    // until every data path is open. False with error set otherwise.
    bool connect(const std::vector<int>& ports, int count, int timeout_ms, std::string& error);
    // Reads what has arrived on every caller, waiting up to timeout_ms.
    void pump(int timeout_ms);
    void hang_up();
    std::vector<Caller>& callers() { return callers_; }

private:
    bool open_caller(int port, std::string& error);
    void take(Caller& c, const uint8_t* bytes, int count, int64_t now);
    bool wait_connected(const std::vector<size_t>& which, int64_t deadline, std::string& error);
    bool through_adapter_;
    std::string busy_text_;
    std::string ssh_terminal_;  // empty: Telnet
    std::vector<Caller> callers_;
};

struct EchoResult {
    std::vector<double> latency_ms;  // one per keystroke answered
    long wrong = 0;                  // bytes that were not the one typed
    long unanswered = 0;             // keystrokes with no echo in time
};

// Each caller types samples keystrokes: one byte, wait for its echo, a
// pause of pause_min_ms..pause_max_ms, again.
EchoResult run_echo(CallerGroup& group, int samples, int pause_min_ms, int pause_max_ms, int timeout_ms);

struct StreamResult {
    int lines = 0;
    int intact_lines = 0;       // every byte there, in order, nothing more
    long bytes_expected = 0;
    long bytes_in_order = 0;
    long bytes_extra = 0;
    std::string first_error;
    std::vector<double> line_rate;  // bytes per second, one per line that finished
    double aggregate_rate = 0;      // all bytes over the time from first start to last end
};

// Every caller receives bytes of the test pattern (the peer sends them on
// its own); after the last, quiet_ms more of listening for stray bytes.
StreamResult run_receive(CallerGroup& group, long bytes, int quiet_ms, int timeout_ms);
// Every caller sends bytes of the test pattern and waits for the peer's
// report ("Verified N bytes in order."), then quiet_ms for any other.
StreamResult run_send(CallerGroup& group, long bytes, int quiet_ms, int timeout_ms);

struct RefuseResult {
    long calls = 0;
    long right = 0;  // got exactly the expected text and then the close
    double per_second = 0;
    std::string first_error;
};

// Calls port up to total times, concurrency at a time, each reading until
// the close; stops early at timeout_ms.
RefuseResult run_refuse(int port, const std::string& expected, int concurrency, long total, int timeout_ms);

// Nearest-rank percentile of values (sorted on the way), 0 when empty.
double percentile(std::vector<double> values, double p);
