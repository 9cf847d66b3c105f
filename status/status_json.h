// /status.json: the status page's figures and the whole line table.
#pragma once

#include <string>

#include "status/status_snapshot.h"

// refreshed: the second of the page's last refresh, or 0 before it.
std::string status_json(const StatusSnapshot& figures, int64_t refreshed);

// text as a JSON string literal; bytes outside ASCII are taken as Latin-1,
// so any caller's host name gives valid JSON.
std::string json_string(const char* text);
