// /metrics: the board's figures in the Prometheus text format.
#pragma once

#include <string>

#include "stats/statistics_board.h"

std::string metrics_text(const StatusFigures& figures);
