// Waiting for a condition with a deadline, never a bare sleep.
#pragma once

#include <chrono>
#include <functional>

namespace support {

using namespace std::chrono_literals;

// Checks pred every millisecond until it holds or timeout passes.
bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s);

}
