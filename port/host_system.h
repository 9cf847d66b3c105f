// The host's operating-system name, in place of the version record.
#pragma once

#include <string>

// "Linux 6.1.0-13-amd64 (#1 SMP ... x86_64)" from uname; 0, or -1 when uname fails.
int host_system_text(std::string& text);
