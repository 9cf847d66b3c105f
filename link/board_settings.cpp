#include "link/board_settings.h"

#include "config/setting_reader.h"

bool read_board_settings(const ConfigFile& config, BoardSettings& out, std::string& error)
{
    BoardSettings read;
    SettingReader board(config.section("Board"), "Board");
    const bool ok = board.number("Resend", 60000, "whole milliseconds from 0 to 60000", read.resend_ms) &&
                    board.flag("DropRepeats", read.drop_repeats) &&
                    board.number("Probe", 3600, "whole seconds from 0 to 3600", read.probe_s) &&
                    board.number("Silence", 86400, "whole seconds from 0 to 86400", read.silence_s);
    if (!ok) {
        error = board.error();
        return false;
    }
    out = read;
    return true;
}
