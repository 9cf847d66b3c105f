// The adapter's IPX network: joins the configured tunnel server, or hosts
// the network itself with an in-process relay.
#pragma once

#include "ipx/ipx_settings.h"

// Starts the process-wide IPX stack on the tunnel server the settings
// name, and when ORVA hosts the network the relay it joins. Never waits for
// the server. 0, or -1 after logging why it cannot start.
int start_ipx_network(const IpxSettings& settings);
// Stops the stack and the relay; harmless when they never started.
void stop_ipx_network();
