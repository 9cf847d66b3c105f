// The PROXY header parser on whatever a balancer's connection may begin
// with. Its verdict on a stream must not depend on how much of it has come:
// once a prefix gives a verdict, every longer one gives the same (a header
// of the same length and source), and a header never takes more bytes
// than there are or than the longest allowed.
#include <cstdint>
#include <cstring>
#include <string>

#include "calls/proxy_header.h"
#include "fuzz/fuzz_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ProxyHeader first;
    std::string why;
    ProxyParse verdict = ProxyParse::NeedMore;
    size_t decided_at = 0;
    for (size_t count = 0; count <= size; ++count) {
        ProxyHeader header;
        const ProxyParse result = parse_proxy_header(data, count, header, why);
        if (verdict == ProxyParse::NeedMore) {
            verdict = result;
            first = header;
            decided_at = count;
            continue;
        }
        FUZZ_CHECK(result == verdict);
        if (result == ProxyParse::Done) {
            FUZZ_CHECK(header.length == first.length && header.kind == first.kind);
            FUZZ_CHECK(std::memcmp(header.source.bytes, first.source.bytes, sizeof header.source.bytes) == 0);
            FUZZ_CHECK(header.source.port == first.source.port && header.source.ipv6 == first.source.ipv6);
        }
    }
    if (verdict == ProxyParse::Done)
        FUZZ_CHECK(first.length > 0 && first.length <= decided_at && first.length <= PROXY_HEADER_MAX);
    if (verdict == ProxyParse::NeedMore)
        FUZZ_CHECK(size < PROXY_HEADER_MAX);
    return 0;
}
