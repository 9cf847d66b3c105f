#include "telnet/telnet_settings.h"

#include "config/config_file.h"
#include "config/setting_reader.h"

namespace {

bool read_charset(SettingReader& reader, const ConfigElement* element, Charset& charset)
{
    // No terminal type is asked of a Telnet caller, so there is nothing an
    // "auto" could go by: the port says what its callers take.
    const ConfigAttribute* a = element->find_attribute("Charset");
    return !a || charset_from_name(a->value.c_str(), charset) ||
           reader.refuse("Charset", a->value, "CP437 or UTF-8");
}

}

bool read_telnet_settings(const ConfigFile& config, std::vector<TelnetSettings>& out, std::string& error)
{
    const std::vector<const ConfigElement*> elements = config.servers("Telnet");
    std::vector<TelnetSettings> read(elements.empty() ? 1 : elements.size());
    read[0].port = config.server_int("Telnet", "Port", read[0].port);
    for (size_t i = 0; i < elements.size(); ++i) {
        SettingReader telnet(elements[i], "Server Type=\"Telnet\"");
        telnet.text("IP", read[i].ip);
        if ((i > 0 && !telnet.port("Port", read[i].port)) || !read_charset(telnet, elements[i], read[i].charset) ||
            !read_address_list(telnet, "TrustProxy", read[i].trust_proxy)) {
            error = telnet.error();
            return false;
        }
    }
    out = std::move(read);
    return true;
}
