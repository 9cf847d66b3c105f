#include "ssh/ssh_settings.h"

#include <strings.h>

#include "config/config_file.h"
#include "config/setting_reader.h"

namespace {

bool read_charset(SettingReader& reader, const ConfigElement* element, SshSettings& settings)
{
    const ConfigAttribute* a = element->find_attribute("Charset");
    if (!a)
        return true;
    if (strcasecmp(a->value.c_str(), "auto") == 0) {
        settings.charset_auto = true;
        return true;
    }
    settings.charset_auto = false;
    return charset_from_name(a->value.c_str(), settings.charset) ||
           reader.refuse("Charset", a->value, "auto, CP437 or UTF-8");
}

}

bool read_ssh_settings(const ConfigFile& config, std::vector<SshSettings>& out, std::string& error)
{
    const std::vector<const ConfigElement*> elements = config.servers("SSH");
    std::vector<SshSettings> read(elements.size());
    for (size_t i = 0; i < elements.size(); ++i) {
        SettingReader ssh(elements[i], "Server Type=\"SSH\"");
        ssh.text("IP", read[i].ip);
        ssh.text("HostKey", read[i].host_key);
        if (!ssh.port("Port", read[i].port) || !read_charset(ssh, elements[i], read[i]) ||
            !ssh.flag("Legacy", read[i].legacy) || !read_address_list(ssh, "TrustProxy", read[i].trust_proxy)) {
            error = ssh.error();
            return false;
        }
        if (read[i].host_key.empty()) {
            ssh.refuse("HostKey", "", "a file name");
            error = ssh.error();
            return false;
        }
    }
    out = std::move(read);
    return true;
}
