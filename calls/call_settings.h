// CallSettings: the Call element of orva.conf.xml, limits on a call's time
// once it has a board line.
#pragma once

#include <string>

#include "config/config_file.h"

struct CallSettings {
    // Idle: minutes without a byte from the caller after which the call
    // ends; 0 never.
    int idle_minutes = 0;
    // Longest: minutes a call may last; the caller is warned a minute
    // before. 0 never.
    int longest_minutes = 0;
    // How long a minute is: tests shorten it.
    int minute_ms = 60000;
};

// Reads the Call element, defaults for what it leaves out. False, with the
// setting and its value named in error and out untouched, when one is
// malformed.
bool read_call_settings(const ConfigFile& config, CallSettings& out, std::string& error);
