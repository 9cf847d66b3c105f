// The page the console showed last, copied for readers on other threads
// (the status server) under a lock of its own, so that they never hold the
// statistics board or the console's buffers.
#pragma once

#include <cstdint>

#include "port/terminal.h"

// The System Loading and System Thruput figures of a refresh; the loading
// ones are -1 where the page shows "N/A".
struct PageFigures {
    int idle_percent = -1;
    int kernel_percent = -1;
    int user_percent = -1;
    int response_ms = 0;
    int input_kb = 0;
    int output_kb = 0;
};

struct PageImage {
    TerminalCell cells[TERMINAL_ROWS][TERMINAL_COLUMNS];
    PageFigures figures;
    // Wall-clock second of the refresh that drew it.
    int64_t refreshed;
};

// Called by the console each time it shows a page.
void publish_shown_page(const TerminalCell* cells, const PageFigures& figures, int64_t refreshed);
// Copies the last page shown; false before the first one.
bool copy_shown_page(PageImage& out);
