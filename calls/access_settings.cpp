#include "calls/access_settings.h"

namespace {
constexpr const char* SECTION = "Access";
// Large enough for any sensible limit, small enough to stay clear of
// overflow in milliseconds and counts.
constexpr int NUMBER_LIMIT = 1000000000;

std::string setting_text(const char* key, const char* value)
{
    return std::string(SECTION) + " " + key + "=\"" + value + "\"";
}

bool read_number(const ConfigFile& config, const char* key, int& out, std::string& error)
{
    const char* value = config.section_string(SECTION, key, nullptr);
    if (!value)
        return true;
    if (parse_whole_number(value, NUMBER_LIMIT, out))
        return true;
    error = setting_text(key, value) + " is not a whole number from 0 to " + std::to_string(NUMBER_LIMIT);
    return false;
}

bool read_list(const ConfigFile& config, const char* key, std::vector<AddressPrefix>& out, std::string& error)
{
    const char* value = config.section_string(SECTION, key, "");
    std::string bad;
    if (parse_address_list(value, out, bad))
        return true;
    error = setting_text(key, value) + ": \"" + bad + "\" is not an IPv4 or IPv6 address or prefix";
    return false;
}
}

bool read_access_settings(const ConfigFile& config, AccessSettings& out, std::string& error)
{
    out = AccessSettings{};
    return read_number(config, "MaxPerAddress", out.max_per_address, error) &&
           read_number(config, "RatePerMinute", out.rate_per_minute, error) &&
           read_number(config, "BanSeconds", out.ban_seconds, error) &&
           read_number(config, "MaxCalls", out.max_calls, error) &&
           read_list(config, "Allow", out.allow, error) && read_list(config, "Deny", out.deny, error);
}
