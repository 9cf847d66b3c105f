// The adapter's IPX network: joins the configured tunnel server, or hosts
// the network itself with an in-process relay.
#pragma once

// Starts the process-wide IPX stack from the Server element of type "IPX"
// (IP, Port, Host), and with Host="1" the relay it joins. Never waits for
// the server. 0, or -1 after logging why it cannot start.
int start_ipx_network();
// Stops the stack and the relay; harmless when they never started.
void stop_ipx_network();
