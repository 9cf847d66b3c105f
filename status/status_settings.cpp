#include "status/status_settings.h"

#include "config/setting_reader.h"

bool read_status_settings(const ConfigFile& config, StatusSettings& out, std::string& error)
{
    StatusSettings read;
    const ConfigElement* element = config.server("Status");
    read.wanted = element != nullptr;
    SettingReader status(element, "Server Type=\"Status\"");
    status.text("IP", read.ip);
    bool ok = read.ip.find_first_not_of("0123456789.") == std::string::npos ||
              status.refuse("IP", read.ip, "a dotted IPv4 address, or empty for every address");
    ok = ok && status.port("Port", read.port);
    if (!ok) {
        error = status.error();
        return false;
    }
    out = read;
    return true;
}
