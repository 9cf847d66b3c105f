#include "fuzz/fuzz_records.h"

#include <cstdio>
#include <cstdlib>

void fuzz_check_failed(const char* condition, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}
