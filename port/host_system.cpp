// Replaces GetVersionEx and the registry with uname(2).
#include "port/host_system.h"

#include <sys/utsname.h>

int host_system_text(std::string& text)
{
    utsname u{};
    if (uname(&u) != 0)
        return -1;
    text = std::string(u.sysname) + " " + u.release + " (" + u.version + " " + u.machine + ")";
    return 0;
}
