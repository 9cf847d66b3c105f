// The page the console showed last, copied for readers on other threads
// (the status server) under a lock of its own, so that they never hold the
// statistics board or the console's buffers.
#pragma once

#include <cstdint>

#include "port/terminal.h"

struct PageImage {
    TerminalCell cells[TERMINAL_ROWS][TERMINAL_COLUMNS];
    // Wall-clock second of the refresh that drew it.
    int64_t refreshed;
};

// Called by the console each time it shows a page.
void publish_shown_page(const TerminalCell* cells, int64_t refreshed);
// Copies the last page shown; false before the first one.
bool copy_shown_page(PageImage& out);
