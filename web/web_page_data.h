// The page's own files, built into the program from web/page.
#pragma once

#include <cstddef>

extern const char WEB_PAGE_INDEX_HTML[];
extern const size_t WEB_PAGE_INDEX_HTML_SIZE;
extern const char WEB_PAGE_ORVA_TERMINAL_JS[];
extern const size_t WEB_PAGE_ORVA_TERMINAL_JS_SIZE;
extern const char WEB_PAGE_ORVA_TERMINAL_CSS[];
extern const size_t WEB_PAGE_ORVA_TERMINAL_CSS_SIZE;
