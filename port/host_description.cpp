#include "port/host_description.h"

#include <cstdio>
#include <strings.h>

#include "port/host_system.h"

namespace {
char description[256];
bool nt_family = false;

std::string windows_nt_text(const VersionRecord& r, bool extended, const char* product_type)
{
    std::string name;
    if (r.major <= 4)
        name = "Microsoft Windows NT";
    else if (r.major == 5 && r.minor == 0)
        name = "Microsoft Windows 2000";
    else if (r.major == 5 && r.minor == 1)
        name = "Microsoft Windows XP";

    if (extended) {
        if (r.product_type == 1)
            name += (r.suite_mask & 0x0200) ? " Personal" : " Professional";
        else if (r.product_type == 3)
            name += (r.suite_mask & 0x0080)   ? " DataCenter Server"
                    : (r.suite_mask & 0x0002) ? " Advanced Server"
                                              : " Server";
    } else if (product_type) {
        if (strcasecmp(product_type, "WINNT") == 0)
            name += " Professional";
        else if (strcasecmp(product_type, "LANMANNT") == 0)
            name += " Server";
        else if (strcasecmp(product_type, "SERVERNT") == 0)
            name += " Advanced Server";
    }

    char sp[129];
    std::snprintf(sp, sizeof sp, "%.128s", r.service_pack);
    char text[512];
    int build = int(r.build & 0xFFFF);
    if (r.major > 4)
        std::snprintf(text, sizeof text, "%s %s (Build %d)", name.c_str(), sp, build);
    else
        std::snprintf(text, sizeof text, "%s version %d.%d %s (Build %d)", name.c_str(),
                      int(r.major), int(r.minor), sp, build);
    return text;
}
}

HostDescription describe_version(const VersionRecord& r, bool extended, const char* product_type)
{
    switch (r.platform) {
    case 0:
        return {"Microsoft Win32s", false};
    case 1: {
        if (r.major != 4)
            return {"", false};
        char second = r.service_pack[0] ? r.service_pack[1] : 0;
        if (r.minor == 0)
            return {std::string("Microsoft Windows 95") + (second == 'C' || second == 'B' ? " OSR2" : ""), false};
        if (r.minor == 10)
            return {std::string("Microsoft Windows 98") + (second == 'A' ? " SE" : ""), false};
        if (r.minor == 90)
            return {"Microsoft Windows Me", false};
        return {"", false};
    }
    case 2:
        return {windows_nt_text(r, extended, product_type), true};
    default:
        return {"", false};
    }
}

int describe_host()
{
    std::string text;
    if (host_system_text(text) != 0)
        return -1;
    // Everything the NT-family flag gates (process times, receiving
    // broadcasts, a hidden cursor) exists here.
    std::snprintf(description, sizeof description, "%s", text.c_str());
    nt_family = true;
    return 0;
}

const char* host_description()
{
    return description;
}

bool host_is_nt()
{
    return nt_family;
}
