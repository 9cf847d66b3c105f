#include "calls/access_settings.h"

#include "config/setting_reader.h"

namespace {
// Large enough for any sensible limit, small enough to stay clear of
// overflow in milliseconds and counts.
constexpr int NUMBER_LIMIT = 1000000000;
constexpr const char* WHOLE_NUMBER = "a whole number from 0 to 1000000000";
// A gate without a time would let a caller that sends nothing hold its
// connection for ever.
constexpr int GATE_SECONDS_LIMIT = 3600;
constexpr const char* GATE_SECONDS = "whole seconds from 1 to 3600";
}

bool read_access_settings(const ConfigFile& config, AccessSettings& out, std::string& error)
{
    AccessSettings read;
    SettingReader access(config.section("Access"), "Access");
    const bool ok = access.number("MaxPerAddress", NUMBER_LIMIT, WHOLE_NUMBER, read.max_per_address) &&
                    access.number("RatePerMinute", NUMBER_LIMIT, WHOLE_NUMBER, read.rate_per_minute) &&
                    access.number("BanSeconds", NUMBER_LIMIT, WHOLE_NUMBER, read.ban_seconds) &&
                    access.number("MaxCalls", NUMBER_LIMIT, WHOLE_NUMBER, read.max_calls) &&
                    access.flag("Gate", read.gate) &&
                    access.number("GateSeconds", GATE_SECONDS_LIMIT, GATE_SECONDS, read.gate_seconds) &&
                    (read.gate_seconds > 0 || access.refuse("GateSeconds", "0", GATE_SECONDS)) &&
                    read_address_list(access, "Allow", read.allow) && read_address_list(access, "Deny", read.deny);
    if (!ok) {
        error = access.error();
        return false;
    }
    out = std::move(read);
    return true;
}
