// The Telnet codec on what a caller sends, cut into arbitrary segments. The
// same bytes are also given in one piece: since a command cut off at the end
// of a segment is finished by the next, both must give the same data. And
// any data escaped for a caller strips back to itself.
//
// Record control byte: bit 0 strips what has gathered after this segment.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_records.h"
#include "telnet/telnet_codec.h"

namespace {
void strip_into(TelnetInputState& state, std::vector<uint8_t>& from, std::vector<uint8_t>& to)
{
    const size_t at = to.size();
    to.resize(at + from.size());
    const int32_t n = telnet_strip_commands(state, from.data(), int32_t(from.size()), to.data() + at);
    FUZZ_CHECK(n >= 0 && size_t(n) <= from.size());
    to.resize(at + size_t(n));
    from.clear();
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    TelnetInputState pieces = TelnetInputState::Data;
    std::vector<uint8_t> gathered;
    std::vector<uint8_t> got;
    std::vector<uint8_t> all;
    FuzzRecords records(data, size);
    FuzzRecord r;
    while (records.next(r)) {
        gathered.insert(gathered.end(), r.bytes, r.bytes + r.size);
        all.insert(all.end(), r.bytes, r.bytes + r.size);
        if (r.control & 1)
            strip_into(pieces, gathered, got);
    }
    strip_into(pieces, gathered, got);

    TelnetInputState whole = TelnetInputState::Data;
    std::vector<uint8_t> copy = all;
    std::vector<uint8_t> once;
    strip_into(whole, copy, once);
    FUZZ_CHECK(got == once);
    FUZZ_CHECK(pieces == whole);
    // Without a single command byte the data passes through untouched.
    if (all.empty() || std::memchr(all.data(), TELNET_IAC, all.size()) == nullptr)
        FUZZ_CHECK(once == all);

    // Escaped as data and stripped again, every byte comes back as it was.
    std::vector<uint8_t> escaped(size_t(telnet_escaped_size(all.data(), int32_t(all.size()))));
    FUZZ_CHECK(telnet_escape_data(all.data(), int32_t(all.size()), escaped.data()) == int32_t(escaped.size()));
    TelnetInputState back_state = TelnetInputState::Data;
    std::vector<uint8_t> back;
    strip_into(back_state, escaped, back);
    FUZZ_CHECK(back == all);
    FUZZ_CHECK(back_state == TelnetInputState::Data);
    return 0;
}
