// Reading the Access element of the configuration into AccessSettings.
#pragma once

#include <string>

#include "config/config_file.h"
#include "calls/access_policy.h"

// The Access element's settings, defaults for those absent. False when one
// is malformed; error then names the setting and its value.
bool read_access_settings(const ConfigFile& config, AccessSettings& out, std::string& error);
