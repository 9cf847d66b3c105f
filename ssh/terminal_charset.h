// What an SSH caller's terminal takes, going by the terminal type its
// client named: the board's own code page 437 for the terminal programs
// made for boards, UTF-8 for every other (and for none named).
#pragma once

#include "util/charset.h"

Charset charset_for_terminal(const char* terminal_type);
