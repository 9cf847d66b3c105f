#include "calls/call_settings.h"

#include "config/setting_reader.h"

namespace {
// A week: far past any sensible limit, and clear of overflow in ms.
constexpr int MINUTES_LIMIT = 10080;
constexpr const char* WHOLE_MINUTES = "whole minutes from 0 to 10080";
}

bool read_call_settings(const ConfigFile& config, CallSettings& out, std::string& error)
{
    CallSettings read;
    SettingReader call(config.section("Call"), "Call");
    const bool ok = call.number("Idle", MINUTES_LIMIT, WHOLE_MINUTES, read.idle_minutes) &&
                    call.number("Longest", MINUTES_LIMIT, WHOLE_MINUTES, read.longest_minutes);
    if (!ok) {
        error = call.error();
        return false;
    }
    out = read;
    return true;
}
