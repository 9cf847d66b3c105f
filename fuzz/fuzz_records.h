// Splits one fuzz input into records: a control byte, a big-endian 16-bit
// length, then that many bytes (fewer when the input ends first). Targets
// that take a sequence of datagrams read them this way, so one input can
// drive a whole exchange and seeds can be written by hand.
#pragma once

#include <cstddef>
#include <cstdint>

struct FuzzRecord {
    uint8_t control = 0;
    const uint8_t* bytes = nullptr;
    size_t size = 0;
};

class FuzzRecords {
public:
    FuzzRecords(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool next(FuzzRecord& record)
    {
        if (size_ - at_ < 3)
            return false;
        record.control = data_[at_];
        size_t wanted = size_t(data_[at_ + 1]) << 8 | data_[at_ + 2];
        at_ += 3;
        size_t left = size_ - at_;
        record.size = wanted < left ? wanted : left;
        record.bytes = data_ + at_;
        at_ += record.size;
        return true;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// A finding the sanitizers cannot see: a broken invariant. Aborting makes
// libFuzzer keep the input as a crash.
#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition))                                                                  \
            fuzz_check_failed(#condition, __FILE__, __LINE__);                             \
    } while (0)

[[noreturn]] void fuzz_check_failed(const char* condition, const char* file, int line);
