#include "config/board_settings.h"

#include "config/config_file.h"

BoardSettings board_settings;

namespace {

bool read_setting(const ConfigFile& config, const char* key, int max, const char* wanted, int& value,
                  std::string& error)
{
    const char* text = config.section_string("Board", key, nullptr);
    if (!text || parse_whole_number(text, max, value))
        return true;
    error = std::string("config: Board ") + key + "=\"" + text + "\" is not valid: " + wanted;
    return false;
}

}

int read_board_settings(const ConfigFile& config, BoardSettings& settings, std::string& error)
{
    BoardSettings read;
    int drop = 0;
    if (!read_setting(config, "Resend", 60000, "whole milliseconds from 0 to 60000", read.resend_ms, error) ||
        !read_setting(config, "DropRepeats", 1, "0 or 1", drop, error) ||
        !read_setting(config, "Probe", 3600, "whole seconds from 0 to 3600", read.probe_s, error) ||
        !read_setting(config, "Silence", 86400, "whole seconds from 0 to 86400", read.silence_s, error))
        return -1;
    read.drop_repeats = drop != 0;
    settings = read;
    return 0;
}
