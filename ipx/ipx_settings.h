// IpxSettings: the Server element of type "IPX", the tunnel server ORVA
// joins or hosts.
#pragma once

#include <string>

class ConfigFile;

struct IpxSettings {
    // The tunnel server's IPv4 address (with host, the one the relay binds).
    std::string ip = "127.0.0.1";
    int port = 213;
    // ORVA runs the tunnel server itself and joins it.
    bool host = false;
};

// Reads the element, defaults for what it leaves out. False, with the
// setting and its value named in error and out untouched, when one is
// malformed.
bool read_ipx_settings(const ConfigFile& config, IpxSettings& out, std::string& error);
