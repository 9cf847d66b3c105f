#include "ipx/ipx_settings.h"

#include "config/setting_reader.h"

bool read_ipx_settings(const ConfigFile& config, IpxSettings& out, std::string& error)
{
    IpxSettings read;
    SettingReader ipx(config.server("IPX"), "Server Type=\"IPX\"");
    ipx.text("IP", read.ip);
    if (!ipx.port("Port", read.port) || !ipx.flag("Host", read.host)) {
        error = ipx.error();
        return false;
    }
    out = read;
    return true;
}
