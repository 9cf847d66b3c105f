// The persistent total of accepted callers: orva.dat, one little-endian
// 16-bit number.
#pragma once

#include <cstdint>

constexpr const char* COUNTERS_FILE_NAME = "orva.dat";

// Reads the first two bytes of the file into total; a missing or short file
// leaves total as it is.
void load_counters(uint16_t& total, const char* path = COUNTERS_FILE_NAME);

// Writes total as the file's two bytes. The bytes go to a temporary file
// that is renamed over the old one, so a failed write keeps the old count.
void save_counters(uint16_t total, const char* path = COUNTERS_FILE_NAME);
