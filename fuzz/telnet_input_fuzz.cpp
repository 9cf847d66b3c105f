// Telnet command stripping on what a caller sends, cut into arbitrary
// segments. The same bytes are also given in one piece: since an incomplete
// command waits for the next segment, both must give the same data.
//
// Record control byte: bit 0 takes input after this segment; bit 1 uses a
// destination that starts small, so that take_input has to grow it.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_records.h"
#include "link/byte_queue.h"
#include "telnet/caller_session.h"

namespace {
void drain(ByteQueue& from, std::vector<uint8_t>& to)
{
    to.insert(to.end(), from.head(), from.head() + from.size());
    from.clear();
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CallerSession pieces;
    ByteQueue small(1, 0, 1);
    ByteQueue large(4096, 512, 4096);
    std::vector<uint8_t> got;
    std::vector<uint8_t> all;
    FuzzRecords records(data, size);
    FuzzRecord r;
    while (records.next(r)) {
        pieces.receive_for_testing(r.bytes, int32_t(r.size));
        all.insert(all.end(), r.bytes, r.bytes + r.size);
        if (r.control & 1) {
            ByteQueue& into = (r.control & 2) ? small : large;
            pieces.take_input(into);
            drain(into, got);
        }
    }
    pieces.take_input(large);
    drain(large, got);

    CallerSession whole;
    if (!all.empty())
        whole.receive_for_testing(all.data(), int32_t(all.size()));
    std::vector<uint8_t> once;
    whole.take_input(large);
    drain(large, once);
    FUZZ_CHECK(got == once);
    FUZZ_CHECK(got.size() <= all.size());
    // A second pass finds nothing new: only an incomplete command is left.
    whole.take_input(large);
    FUZZ_CHECK(large.size() == 0);
    // Without a single command byte the data passes through untouched.
    if (all.empty() || std::memchr(all.data(), 0xFF, all.size()) == nullptr)
        FUZZ_CHECK(once == all);
    return 0;
}
