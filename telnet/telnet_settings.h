// TelnetSettings: the Server element of type "Telnet", where callers dial.
#pragma once

#include <string>

class ConfigFile;

struct TelnetSettings {
    // Empty: every local IPv4 address.
    std::string ip;
    int port = 23;
};

// Reads the element as start-up always has: the first Server of type
// "Telnet" alone, its Port read as a leading decimal number (so any text is
// a port, and a bad one shows when the listener cannot open). Never fails.
TelnetSettings read_telnet_settings(const ConfigFile& config);
