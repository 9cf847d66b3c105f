#include "tools/board_sim/board_options.h"

#include <cstdlib>

namespace {

bool parse_number(const std::string& text, long low, long high, int& out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 0);
    if (*end != '\0' || v < low || v > high)
        return false;
    out = static_cast<int>(v);
    return true;
}

// ADDR:PORT with a numeric port.
bool parse_endpoint(const std::string& text, std::string& ip, int& port)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    if (!parse_number(text.substr(colon + 1), 1, 65535, port))
        return false;
    ip = text.substr(0, colon);
    return true;
}

bool set_relay(const std::string& v, BoardOptions& o, std::string& error)
{
    if (parse_endpoint(v, o.server_ip, o.server_port))
        return true;
    error = "--relay: expected ADDR:PORT: " + v;
    return false;
}

bool set_server(const std::string& v, BoardOptions& o, std::string&)
{
    o.server_ip = v;
    return true;
}

bool set_name(const std::string& v, BoardOptions& o, std::string& error)
{
    o.server_name = v;
    if (!v.empty() && v.size() <= 47)
        return true;
    error = "--name: 1 to 47 characters";
    return false;
}

// One option: what --help says of it and how it sets its field. A row
// sets exactly one of flag, number (within low..high) or set.
struct OptionRow {
    const char* heading = nullptr;  // starts a group in --help
    const char* name = nullptr;
    const char* alias = nullptr;
    const char* value = nullptr;    // the value's name in --help; none for a switch
    const char* help = nullptr;     // may run on over several lines
    bool BoardOptions::*flag = nullptr;
    bool flag_value = true;         // what the switch sets it to
    int BoardOptions::*number = nullptr;
    long low = 0;
    long high = 0;
    bool (*set)(const std::string& value, BoardOptions& options, std::string& error) = nullptr;
};

const OptionRow option_rows[] = {
    {.heading = "Network:", .name = "--relay", .value = "ADDR:PORT",
     .help = "tunnel server to join (default 127.0.0.1:213)", .set = set_relay},
    {.name = "--server", .value = "ADDR", .help = "tunnel server address", .set = set_server},
    {.name = "--port", .value = "PORT", .help = "tunnel server UDP port", .number = &BoardOptions::server_port,
     .low = 1, .high = 65535},
    {.name = "--socket", .value = "N", .help = "IPX socket for KNET (default: chosen by the stack)",
     .number = &BoardOptions::socket_number, .low = 1, .high = 65535},
    // Line 0 means busy; the adapter's line table ends at 96.
    {.name = "--lines", .value = "N", .help = "number of lines, 1 to 96 (default 4)",
     .number = &BoardOptions::lines, .low = 1, .high = 96},

    {.heading = "Service advertising (SAP, service type 0x9191):", .name = "--name", .value = "NAME",
     .help = "server name to announce (default KELB)", .set = set_name},
    {.name = "--servers", .value = "N",
     .help = "announce N servers: NAME, then NAME-2 ... NAME-N,\n"
             "each on its own KNET socket (default 1)",
     .number = &BoardOptions::servers, .low = 1, .high = 16},
    {.name = "--sap-interval", .value = "MS", .help = "general-service broadcast interval (default 60000)",
     .number = &BoardOptions::sap_interval_ms, .low = 10, .high = 3600000},
    {.name = "--no-sap", .help = "stay silent on SAP", .flag = &BoardOptions::sap, .flag_value = false},

    {.heading = "Behaviour, for tests:", .name = "--echo",
     .help = "pure echo: every byte comes back, no banner or menu", .flag = &BoardOptions::echo_only},
    {.name = "--discard", .help = "take every byte silently, no banner (for throughput)",
     .flag = &BoardOptions::discard},
    {.name = "--silent", .help = "answer nothing at all", .flag = &BoardOptions::silent},
    {.name = "--busy", .help = "refuse every connection (line 0)", .flag = &BoardOptions::busy},
    {.name = "--drop", .value = "N", .help = "drop every Nth packet received",
     .number = &BoardOptions::drop_every, .low = 1, .high = 1000000},
    {.name = "--duplicate", .value = "N", .help = "send every Nth Data packet twice",
     .number = &BoardOptions::duplicate_every, .low = 1, .high = 1000000},
    {.name = "--nack", .value = "N", .help = "refuse every Nth Data packet received with a NACK",
     .number = &BoardOptions::nack_every, .low = 1, .high = 1000000},
    {.name = "--not-ready", .value = "MS", .help = "after connecting, clear the ready bit for MS ms",
     .number = &BoardOptions::not_ready_ms, .low = 1, .high = 3600000},
    {.name = "--ready-lines", .value = "N", .help = "lines 1 to N keep their ready bit all the same",
     .number = &BoardOptions::ready_lines, .low = 1, .high = 96},
    {.name = "--hangup", .value = "MS", .help = "end each circuit MS ms after it began",
     .number = &BoardOptions::hangup_after_ms, .low = 1, .high = 3600000},
    {.name = "--bulk", .value = "N",
     .help = "send N bytes of output right after connecting\n"
             "('0' + i % 64 for byte i)",
     .number = &BoardOptions::bulk_bytes, .low = 1, .high = 1000000000},
    {.name = "--bulk-lines", .value = "N", .help = "only lines 1 to N send the --bulk output",
     .number = &BoardOptions::bulk_lines, .low = 1, .high = 96},
    {.name = "--verify", .value = "N",
     .help = "expect N bytes of that pattern from each caller and\n"
             "answer with what arrived: all in order, the first\n"
             "wrong byte, or bytes past N (no menu, no echo)",
     .number = &BoardOptions::verify_bytes, .low = 1, .high = 1000000000},
    {.name = "--resend", .value = "MS",
     .help = "send an unacknowledged Data packet again after MS ms\n"
             "(default: never)",
     .number = &BoardOptions::resend_ms, .low = 1, .high = 3600000},
    {.name = "--drop-repeats",
     .help = "take a caller's Data packet whose sequence repeats\n"
             "the one before once (it is still acknowledged)",
     .flag = &BoardOptions::drop_repeats},
    {.name = "--help", .alias = "-h", .help = "this text", .flag = &BoardOptions::help},
};

const OptionRow* find_row(const std::string& name)
{
    for (const OptionRow& row : option_rows)
        if (name == row.name || (row.alias && name == row.alias))
            return &row;
    return nullptr;
}

// Where the help of every option begins, past "  --sap-interval MS".
constexpr size_t help_column = 23;

}

std::string board_usage()
{
    std::string text = "Usage: orva-board-sim [options]\n"
                       "Plays a KELB board host on the IPX network, reached through an IPX tunnel.\n";
    for (const OptionRow& row : option_rows) {
        if (row.heading)
            text += std::string("\n") + row.heading + "\n";
        std::string line = std::string("  ") + row.name + (row.value ? std::string(" ") + row.value : "");
        line.resize(help_column, ' ');
        for (const char* h = row.help; *h != '\0'; ++h) {
            line += *h;
            if (*h == '\n')
                line.append(help_column, ' ');
        }
        text += line + "\n";
    }
    return text + "\n"
                  "Each caller gets a banner naming its line and a menu: E echo (Esc returns),\n"
                  "T time, W who is on which line, G goodbye (the board ends the circuit).\n"
                  "The IPX address is printed once the network is joined. SIGTERM or SIGINT\n"
                  "ends the program.\n";
}

int parse_board_options(const std::vector<std::string>& args, BoardOptions& options, std::string& error)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const OptionRow* row = find_row(a);
        if (!row) {
            error = "unknown option: " + a;
            return -1;
        }
        if (!row->value) {
            options.*(row->flag) = row->flag_value;
            continue;
        }
        if (i + 1 >= args.size()) {
            error = a + " needs a value";
            return -1;
        }
        const std::string& v = args[++i];
        if (row->set) {
            if (!row->set(v, options, error))
                return -1;
        } else if (!parse_number(v, row->low, row->high, options.*(row->number))) {
            error = a + ": not a number from " + std::to_string(row->low) + " to " + std::to_string(row->high) +
                    ": " + v;
            return -1;
        }
    }
    return 0;
}
