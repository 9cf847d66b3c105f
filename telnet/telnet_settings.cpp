#include "telnet/telnet_settings.h"

#include "config/config_file.h"

TelnetSettings read_telnet_settings(const ConfigFile& config)
{
    TelnetSettings read;
    if (const char* ip = config.server_string("Telnet", "IP", nullptr))
        read.ip = ip;
    read.port = config.server_int("Telnet", "Port", read.port);
    return read;
}
