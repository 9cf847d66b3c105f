// Web callers for tests: the Python helpers beside this file (a WebSocket
// caller on Python's websockets, and headless Chromium driven through its
// DevTools protocol), run with Debian's Python, and the one-line JSON they
// answer with.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace support {

// web_call_client.py (or web_page_driver.py) started: the test reads its
// answers while it runs.
std::unique_ptr<ChildProcess> start_web_call(const std::vector<std::string>& args);
std::unique_ptr<ChildProcess> start_web_page_driver();

// The field name of a JSON object on one line: a string (its \u escapes
// below 256 as those bytes), a number or null as written.
std::string json_text(const std::string& json, const std::string& name);
double json_value(const std::string& json, const std::string& name);

}
