// The board's figures as /status.json and /metrics list them: one row per
// figure, so a new figure is its StatusFigures member and one row here.
#pragma once

#include <span>

#include "stats/statistics_board.h"

// Text: a name, in the JSON only.
enum class FigureType { Counter, Gauge, Text };

struct FigureRow {
    const char* json_key;
    // Null for a figure /metrics leaves out.
    const char* metric_name;
    const char* help;
    FigureType type;
    // number for a counter or gauge, text for a Text row; the other is null.
    long long (*number)(const StatusFigures&);
    const char* (*text)(const StatusFigures&);
};

// In the order of the JSON keys.
std::span<const FigureRow> figure_table();
