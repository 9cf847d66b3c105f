// /status.json: the status page's figures and the whole line table.
#pragma once

#include <string>

#include "console/shown_page.h"
#include "stats/statistics_board.h"

// page: the last page shown, for its refresh second and the loading and
// throughput figures; null before the first.
std::string status_json(const StatusFigures& figures, const PageImage* page);

// text as a JSON string literal; bytes outside ASCII are taken as Latin-1,
// so any caller's host name gives valid JSON.
std::string json_string(const char* text);
