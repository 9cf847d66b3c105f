// BoardMenu: the small interactive board a caller meets on one line.
#pragma once

#include <string>

class BoardMenu {
public:
    // echo_only: every byte comes straight back, no banner and no menu.
    BoardMenu(int line, bool echo_only);

    // What the caller sees on connecting.
    std::string banner() const;
    // Bytes typed by the caller; returns the board's answer.
    // who_text is shown for W.
    std::string input(const std::string& bytes, const std::string& who_text);
    // The caller chose goodbye: the board ends the circuit.
    bool finished() const { return finished_; }

private:
    std::string menu() const;
    int line_;
    bool echo_only_;
    bool echoing_ = false;
    bool finished_ = false;
};
