#include "web/web_settings.h"

#include "config/config_file.h"
#include "config/setting_reader.h"

bool read_web_settings(const ConfigFile& config, WebSettings& out, std::string& error)
{
    const std::vector<const ConfigElement*> elements = config.servers("Web");
    WebSettings read;
    if (elements.empty()) {
        out = read;
        return true;
    }
    read.wanted = true;
    SettingReader web(elements[0], "Server Type=\"Web\"");
    web.text("IP", read.ip);
    web.text("Certificate", read.certificate);
    web.text("Key", read.key);
    web.text("TerminalLibrary", read.terminal_library);
    bool ok = web.port("Port", read.port);
    if (ok && read.certificate.empty() != read.key.empty()) {
        if (read.key.empty())
            ok = web.refuse("Certificate", read.certificate, "usable without Key");
        else
            ok = web.refuse("Key", read.key, "usable without Certificate");
    }
    ok = ok && read_address_list(web, "TrustProxy", read.trust_proxy);
    if (!ok) {
        error = web.error();
        return false;
    }
    out = std::move(read);
    return true;
}
