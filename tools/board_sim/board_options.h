// The board host simulator's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct BoardOptions {
    std::string server_ip = "127.0.0.1";  // the IPX tunnel server
    int server_port = 213;
    int socket_number = 0;  // KNET socket; 0 = one the stack chooses
    int lines = 4;
    // Service advertising.
    std::string server_name = "KELB";
    int servers = 1;             // simulated servers, each with its own board
    int sap_interval_ms = 60000; // general-service broadcast interval
    bool sap = true;
    // Fault and test switches.
    bool silent = false;         // answer nothing at all
    bool busy = false;           // refuse every connection with line 0
    bool echo_only = false;      // echo every byte, no banner or menu
    bool discard = false;        // take every byte and answer only with Acks
    int drop_every = 0;          // drop every Nth packet received
    int duplicate_every = 0;     // send every Nth Data packet twice
    int nack_every = 0;          // refuse every Nth Data packet with a Nack
    int not_ready_ms = 0;        // after connecting, clear the ready bit this long
    int ready_lines = 0;         // lines up to this one keep it set all the same
    int hangup_after_ms = 0;     // end each circuit this long after it began
    int bulk_bytes = 0;          // bytes of output sent right after connecting
    int bulk_lines = 0;          // only lines up to this one send it; 0 = every line
    int verify_bytes = 0;        // check the caller's bytes against the test pattern
    // Recovery, off unless asked: the adapter need not expect either.
    int resend_ms = 0;           // an unacknowledged Data packet goes again after this long
    bool drop_repeats = false;   // a caller packet whose sequence repeats the last is taken once
    bool help = false;

    bool operator==(const BoardOptions&) const = default;
};

// Parses args (without the program name). 0, or -1 with error set.
int parse_board_options(const std::vector<std::string>& args, BoardOptions& options, std::string& error);

// The --help text.
std::string board_usage();
