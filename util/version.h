// The version callers, the log and the console title show.
#pragma once

constexpr const char* ORVA_VERSION = "1.0";
