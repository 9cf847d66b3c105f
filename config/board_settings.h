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

// Reads the Board element. 0, or -1 with a message naming the setting and
// its value in error.
int read_board_settings(const ConfigFile& config, BoardSettings& settings, std::string& error);

// Read once at start-up; every board link takes its settings from here.
extern BoardSettings board_settings;
