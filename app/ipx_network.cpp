// The adapter's IPX network.
#include "app/ipx_network.h"

#include <cstring>
#include <memory>
#include <string>

#include "log/log_file.h"
#include "ipx/ipx_relay.h"
#include "ipx/ipx_settings.h"
#include "ipx/ipx_stack.h"

namespace {
std::unique_ptr<IpxRelay> hosted_relay;

void log_line(const char* line) { app_log.write(LOG_INFO, "%s", line); }
}

int start_ipx_network(const IpxSettings& settings)
{
    const int port = settings.port;
    std::string join_ip = settings.ip;
    if (settings.host) {
        hosted_relay = std::make_unique<IpxRelay>();
        hosted_relay->set_event_sink(log_line);
        if (hosted_relay->bind(settings.ip.c_str(), port) != 0 || hosted_relay->start() != 0) {
            app_log.write(LOG_ERROR, "%s", hosted_relay->last_error().c_str());
            hosted_relay.reset();
            return -1;
        }
        app_log.write(LOG_INFO, "IPX relay: hosting the IPX network on %s",
                      format_udp_address(hosted_relay->address()).c_str());
        // A relay on every interface is still reached over loopback.
        if (join_ip == "0.0.0.0")
            join_ip = "127.0.0.1";
    }
    IpxStack& stack = ipx_stack();
    stack.set_notice_sink(log_line);
    if (stack.start(join_ip.c_str(), port) != 0) {
        app_log.write(LOG_ERROR, "%s", stack.last_error().c_str());
        stop_ipx_network();
        return -1;
    }
    return 0;
}

void stop_ipx_network()
{
    ipx_stack().stop();
    if (hosted_relay) {
        hosted_relay->stop();
        hosted_relay.reset();
    }
}
