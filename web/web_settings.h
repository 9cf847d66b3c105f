// WebSettings: the Server element of type "Web", where callers with only a
// browser reach the board: the page and the call's WebSocket on one port,
// over HTTPS when a certificate and its key are named.
#pragma once

#include <string>
#include <vector>

#include "calls/address_prefix.h"

class ConfigFile;

struct WebSettings {
    // False: no element, nothing listens.
    bool wanted = false;
    // Empty: every address, IPv4 and IPv6.
    std::string ip;
    int port = 8080;
    // PEM files, both or neither; relative to the working directory.
    std::string certificate;
    std::string key;
    // Balancers whose PROXY header, and reverse proxies whose
    // X-Forwarded-For, names the caller.
    std::vector<AddressPrefix> trust_proxy;
    // Where the terminal library's modules are read from at start-up.
    std::string terminal_library = "/usr/share/nodejs/xterm/lib";
};

// Reads the first Server of type "Web". Port must be a port; Certificate
// and Key come together; TrustProxy is a list of addresses and prefixes.
// False, with error, at the first malformed value.
bool read_web_settings(const ConfigFile& config, WebSettings& out, std::string& error);
