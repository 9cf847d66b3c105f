#include "console/shown_page.h"

#include <cstring>

#include "port/locks.h"

namespace {
Mutex page_lock;
PageImage page;
bool page_present = false;
}

void publish_shown_page(const TerminalCell* cells, const PageFigures& figures, int64_t refreshed)
{
    MutexHold hold(page_lock);
    std::memcpy(page.cells, cells, sizeof page.cells);
    page.figures = figures;
    page.refreshed = refreshed;
    page_present = true;
}

bool copy_shown_page(PageImage& out)
{
    MutexHold hold(page_lock);
    if (!page_present)
        return false;
    out = page;
    return true;
}
