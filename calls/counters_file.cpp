#include "calls/counters_file.h"

#include <cstdio>
#include <string>

void load_counters(uint16_t& total, const char* path)
{
    FILE* f = std::fopen(path, "rb");
    if (!f)
        return;
    unsigned char bytes[2];
    if (std::fread(bytes, 1, 2, f) == 2)
        total = uint16_t(bytes[0] | (bytes[1] << 8));
    std::fclose(f);
}

void save_counters(uint16_t total, const char* path)
{
    std::string temporary = std::string(path) + ".new";
    FILE* f = std::fopen(temporary.c_str(), "wb");
    if (!f)
        return;
    unsigned char bytes[2] = {uint8_t(total & 0xFF), uint8_t(total >> 8)};
    bool written = std::fwrite(bytes, 1, 2, f) == 2;
    written = std::fflush(f) == 0 && written;
    written = std::fclose(f) == 0 && written;
    if (!written || std::rename(temporary.c_str(), path) != 0)
        std::remove(temporary.c_str());
}
