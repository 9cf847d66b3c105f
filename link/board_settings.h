// BoardSettings: the Board element of orva.conf.xml, what the board link
// does beyond the circuit protocol's own rules to ride out a lossy tunnel.
#pragma once

#include <string>

class ConfigFile;

struct BoardSettings {
    // Resend: ms an unacknowledged Data packet waits before it goes again,
    // and between copies; a copy goes only while the board host is ready
    // and once it has answered something sent after the last copy. 0 never.
    int resend_ms = 5000;
    // DropRepeats: a board packet identical to the one before it, in
    // sequence and bytes, reaches the caller once.
    bool drop_repeats = false;
    // Probe: s of quiet after which the circuit is probed; 0 never.
    int probe_s = 2;
    // Silence: s without a word from the board host after which the call
    // ends with the down text; 0 never.
    int silence_s = 20;
};

// Reads the Board element, defaults for what it leaves out. False, with
// the setting and its value named in error and out untouched, when one is
// malformed.
bool read_board_settings(const ConfigFile& config, BoardSettings& out, std::string& error);
