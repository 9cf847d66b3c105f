// Starting the status display, the operator's keys and the once-a-second
// double-buffered refresh.
#pragma once

// Sets the title and, unless in debug mode or without a usable terminal,
// shows the page. With page_wanted the page is drawn every second even
// where no terminal shows it, for the status server. Always 0.
int console_init(bool debug_mode, bool page_wanted = false);

// Reads the waiting keys and redraws once per wall-clock second; does
// nothing in debug mode unless the page is wanted. Called once per
// main-loop pass.
void console_poll();

// What the main loop's wait must end on for the console: the descriptor
// keys arrive on (-1 when none), and the milliseconds until console_poll
// next has work (0 when keys were left for the next poll; a short retry
// while the terminal drains; otherwise the next wall-clock second, or -1
// when nothing is drawn).
int console_input_descriptor();
int console_ms_until_due();
