// StatusSettings: the Server element of type "Status", the status page and
// metrics over HTTP.
#pragma once

#include <string>

class ConfigFile;

struct StatusSettings {
    // Without the element nothing listens.
    bool wanted = false;
    // Dotted IPv4; empty: every address.
    std::string ip = "127.0.0.1";
    int port = 8023;
};

// Reads the element, defaults for what it leaves out. False, with the
// setting and its value named in error and out untouched, when one is
// malformed.
bool read_status_settings(const ConfigFile& config, StatusSettings& out, std::string& error);
