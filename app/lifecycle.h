// The adapter's lifecycle: running flag, control handler, network start.
#pragma once

#include "ipx/ipx_settings.h"
#include "port/running_flag.h"
#include "util/version.h"

// Sets running_flag and starts taking control events.
void install_control_handler();

// Runs for every control event: says so, clears running_flag; true = handled.
bool console_control_handler(int control_type);

// Starts the network layer on the tunnel server the settings name; 0, or
// -1 when it cannot start.
int network_startup(const IpxSettings& settings);
// Stops what network_startup started; harmless when it never ran.
void network_cleanup();

// The whole program, as main runs it: start-up, main loop, shutdown.
int run_adapter(int argc, char** argv);
