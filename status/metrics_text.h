// /metrics: the board's figures in the Prometheus text format.
#pragma once

#include <string>

#include "status/status_snapshot.h"

std::string metrics_text(const StatusSnapshot& figures);
