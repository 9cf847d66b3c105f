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

}

std::string board_usage()
{
    return "Usage: orva-board-sim [options]\n"
           "Plays a KELB board host on the IPX network, reached through an IPX tunnel.\n"
           "\n"
           "Network:\n"
           "  --relay ADDR:PORT    tunnel server to join (default 127.0.0.1:213)\n"
           "  --server ADDR        tunnel server address\n"
           "  --port PORT          tunnel server UDP port\n"
           "  --socket N           IPX socket for KNET (default: chosen by the stack)\n"
           "  --lines N            number of lines, 1 to 96 (default 4)\n"
           "\n"
           "Service advertising (SAP, service type 0x9191):\n"
           "  --name NAME          server name to announce (default KELB)\n"
           "  --servers N          announce N servers: NAME, then NAME-2 ... NAME-N,\n"
           "                       each on its own KNET socket (default 1)\n"
           "  --sap-interval MS    general-service broadcast interval (default 60000)\n"
           "  --no-sap             stay silent on SAP\n"
           "\n"
           "Behaviour, for tests:\n"
           "  --echo               pure echo: every byte comes back, no banner or menu\n"
           "  --discard            take every byte silently, no banner (for throughput)\n"
           "  --silent             answer nothing at all\n"
           "  --busy               refuse every connection (line 0)\n"
           "  --drop N             drop every Nth packet received\n"
           "  --duplicate N        send every Nth Data packet twice\n"
           "  --nack N             refuse every Nth Data packet received with a NACK\n"
           "  --not-ready MS       after connecting, clear the ready bit for MS ms\n"
           "  --ready-lines N      lines 1 to N keep their ready bit all the same\n"
           "  --hangup MS          end each circuit MS ms after it began\n"
           "  --bulk N             send N bytes of output right after connecting\n"
           "                       ('0' + i % 64 for byte i)\n"
           "  --bulk-lines N       only lines 1 to N send the --bulk output\n"
           "  --verify N           expect N bytes of that pattern from each caller and\n"
           "                       answer with what arrived: all in order, the first\n"
           "                       wrong byte, or bytes past N (no menu, no echo)\n"
           "  --resend MS          send an unacknowledged Data packet again after MS ms\n"
           "                       (default: never)\n"
           "  --drop-repeats       take a caller's Data packet whose sequence repeats\n"
           "                       the one before once (it is still acknowledged)\n"
           "  --help               this text\n"
           "\n"
           "Each caller gets a banner naming its line and a menu: E echo (Esc returns),\n"
           "T time, W who is on which line, G goodbye (the board ends the circuit).\n"
           "The IPX address is printed once the network is joined. SIGTERM or SIGINT\n"
           "ends the program.\n";
}

int parse_board_options(const std::vector<std::string>& args, BoardOptions& options, std::string& error)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        auto number = [&](long low, long high, int& out) {
            std::string v;
            if (!value(v))
                return false;
            if (!parse_number(v, low, high, out)) {
                error = a + ": not a number from " + std::to_string(low) + " to " + std::to_string(high) +
                        ": " + v;
                return false;
            }
            return true;
        };
        bool ok = true;
        if (a == "--help" || a == "-h") {
            options.help = true;
        } else if (a == "--relay") {
            std::string v;
            ok = value(v);
            if (ok && !parse_endpoint(v, options.server_ip, options.server_port)) {
                error = "--relay: expected ADDR:PORT: " + v;
                ok = false;
            }
        } else if (a == "--server") {
            ok = value(options.server_ip);
        } else if (a == "--port") {
            ok = number(1, 65535, options.server_port);
        } else if (a == "--socket") {
            ok = number(1, 65535, options.socket_number);
        } else if (a == "--lines") {
            // Line 0 means busy; the adapter's line table ends at 96.
            ok = number(1, 96, options.lines);
        } else if (a == "--name") {
            ok = value(options.server_name);
            if (ok && (options.server_name.empty() || options.server_name.size() > 47)) {
                error = "--name: 1 to 47 characters";
                ok = false;
            }
        } else if (a == "--servers") {
            ok = number(1, 16, options.servers);
        } else if (a == "--sap-interval") {
            ok = number(10, 3600000, options.sap_interval_ms);
        } else if (a == "--no-sap") {
            options.sap = false;
        } else if (a == "--echo") {
            options.echo_only = true;
        } else if (a == "--discard") {
            options.discard = true;
        } else if (a == "--silent") {
            options.silent = true;
        } else if (a == "--busy") {
            options.busy = true;
        } else if (a == "--drop") {
            ok = number(1, 1000000, options.drop_every);
        } else if (a == "--duplicate") {
            ok = number(1, 1000000, options.duplicate_every);
        } else if (a == "--nack") {
            ok = number(1, 1000000, options.nack_every);
        } else if (a == "--not-ready") {
            ok = number(1, 3600000, options.not_ready_ms);
        } else if (a == "--ready-lines") {
            ok = number(1, 96, options.ready_lines);
        } else if (a == "--hangup") {
            ok = number(1, 3600000, options.hangup_after_ms);
        } else if (a == "--bulk") {
            ok = number(1, 1000000000, options.bulk_bytes);
        } else if (a == "--resend") {
            ok = number(1, 3600000, options.resend_ms);
        } else if (a == "--drop-repeats") {
            options.drop_repeats = true;
        } else if (a == "--bulk-lines") {
            ok = number(1, 96, options.bulk_lines);
        } else if (a == "--verify") {
            ok = number(1, 1000000000, options.verify_bytes);
        } else {
            error = "unknown option: " + a;
            ok = false;
        }
        if (!ok)
            return -1;
    }
    return 0;
}
