// The status page as a web page: the console's 80x25 cells with their code
// page 437 glyphs and 16 colours, fetched again every second.
#pragma once

#include <string>

#include "console/shown_page.h"

// The whole document.
std::string page_html(const PageImage& page);
// The rows alone, what the document's script puts in place each second.
std::string page_rows_html(const PageImage& page);
