// TelnetSettings: the Server elements of type "Telnet", where callers dial:
// each one a listener with its address, port and the callers' character
// set.
#pragma once

#include <string>
#include <vector>

#include "calls/address_prefix.h"
#include "util/charset.h"

class ConfigFile;

struct TelnetSettings {
    // Empty: every local IPv4 address.
    std::string ip;
    int port = 23;
    // What callers on this port see: the board's bytes as they are, unless
    // the operator asks for UTF-8.
    Charset charset = Charset::Cp437;
    // Load balancers whose connections open with a PROXY header naming
    // the caller.
    std::vector<AddressPrefix> trust_proxy;
};

// Reads every Server of type "Telnet", in file order; with none, one
// listener with the defaults. The first is read as start-up always has:
// its Port as a leading decimal number (so any text is a port, and a bad
// one shows when the listener cannot open). Later elements are new, and
// their Port must be a port. Charset is CP437 or UTF-8 on each, TrustProxy
// a list of addresses and prefixes. False, with
// error, at the first malformed value.
bool read_telnet_settings(const ConfigFile& config, std::vector<TelnetSettings>& out, std::string& error);
