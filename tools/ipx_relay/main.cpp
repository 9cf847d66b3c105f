// orva-ipx-relay: a standalone IPX tunnel server. Nodes (the adapter, board
// hosts, emulators) register over UDP and exchange IPX packets through it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "port/control_signals.h"
#include "ipx/ipx_relay.h"

namespace {

IpxRelay* running_relay = nullptr;

bool stop_on_signal(int)
{
    if (running_relay)
        running_relay->request_stop();
    return true;
}

void usage(FILE* out)
{
    std::fprintf(out,
                 "Usage: orva-ipx-relay [options]\n"
                 "\n"
                 "Runs an IPX network over UDP: each node registers, receives an IPX\n"
                 "address (network 0, node = its IPv4 address and UDP port) and its\n"
                 "packets are forwarded to the addressed node, or to every other node\n"
                 "for a broadcast. Packets whose source is not the sender's own address\n"
                 "are dropped. Idle nodes are pinged; a node that stops answering is\n"
                 "dropped. A line is printed for each node that joins or leaves.\n"
                 "\n"
                 "Options:\n"
                 "  --listen ADDR          IPv4 address to listen on (default 0.0.0.0)\n"
                 "  --port N               UDP port (default 213)\n"
                 "  --ping-interval SECS   ping nodes idle this long, in seconds, may be\n"
                 "                         fractional (default 5)\n"
                 "  --missed-pings N       drop a node silent for N ping intervals\n"
                 "                         (default 3)\n"
                 "  --max-nodes N          refuse registrations beyond N nodes (default 4096)\n"
                 "  --help                 show this text\n"
                 "\n"
                 "Stops cleanly on SIGTERM or SIGINT. Exit status: 0 after a normal stop,\n"
                 "1 when the options are wrong or the port cannot be bound.\n");
}

bool parse_number(const char* text, double low, double high, double& value)
{
    if (text == nullptr || *text == '\0')
        return false;
    char* end = nullptr;
    value = std::strtod(text, &end);
    return *end == '\0' && value >= low && value <= high;
}

int fail(const char* format, const char* what)
{
    std::fprintf(stderr, "orva-ipx-relay: ");
    std::fprintf(stderr, format, what);
    std::fprintf(stderr, "\nTry 'orva-ipx-relay --help'.\n");
    return 1;
}

}

int main(int argc, char** argv)
{
    block_control_signals();
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string listen = "0.0.0.0";
    int port = 213;
    IpxRelayTiming timing;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        double number = 0;
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else if (arg == "--listen" && value) {
            listen = value;
        } else if (arg == "--port" && value) {
            if (!parse_number(value, 1, 65535, number) || number != static_cast<int>(number))
                return fail("not a UDP port: %s", value);
            port = static_cast<int>(number);
        } else if (arg == "--ping-interval" && value) {
            if (!parse_number(value, 0.01, 3600, number))
                return fail("not a ping interval in seconds (0.01 to 3600): %s", value);
            timing.ping_interval_ms = static_cast<int>(number * 1000);
        } else if (arg == "--missed-pings" && value) {
            if (!parse_number(value, 1, 1000, number) || number != static_cast<int>(number))
                return fail("not a count of missed pings (1 to 1000): %s", value);
            timing.missed_pings_limit = static_cast<int>(number);
        } else if (arg == "--max-nodes" && value) {
            if (!parse_number(value, 1, 1000000, number) || number != static_cast<int>(number))
                return fail("not a node limit (1 to 1000000): %s", value);
            timing.max_nodes = static_cast<size_t>(number);
        } else if (value == nullptr && (arg == "--listen" || arg == "--port" || arg == "--ping-interval" ||
                                        arg == "--missed-pings" || arg == "--max-nodes")) {
            return fail("%s needs a value", arg.c_str());
        } else {
            return fail("unknown option: %s", arg.c_str());
        }
        ++i;
    }

    // Never destroyed: the signal thread may still be handing it a stop
    // request while main returns.
    IpxRelay& relay = *new IpxRelay;
    running_relay = &relay;
    relay.set_timing(timing);
    if (relay.bind(listen.c_str(), port) != 0) {
        std::fprintf(stderr, "orva-ipx-relay: %s\n", relay.last_error().c_str());
        return 1;
    }
    start_control_signal_thread(stop_on_signal);
    std::printf("IPX relay: listening on %s\n", format_udp_address(relay.address()).c_str());
    relay.run();
    stop_control_signal_handling();
    std::printf("IPX relay: stopped\n");
    return 0;
}
