// Text from the network made safe for the log and a terminal: a line feed
// in it cannot forge a log entry, nor an escape sequence reach the
// operator's terminal.
#pragma once

#include <string>

// text with every byte outside printable ASCII, and the backslash that
// begins an escape, written as \xNN (two upper-case hex digits).
std::string printable_text(const char* text);
