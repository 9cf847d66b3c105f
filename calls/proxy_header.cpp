#include "calls/proxy_header.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "log/log_file.h"
#include "port/clock.h"
#include "port/tcp_socket.h"

namespace {

constexpr uint8_t V2_SIGNATURE[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr char V1_PREFIX[] = "PROXY ";
constexpr size_t V1_MAX = 107;

bool starts_like(const uint8_t* bytes, size_t count, const void* prefix, size_t size)
{
    return std::memcmp(bytes, prefix, std::min(count, size)) == 0;
}

ProxyParse invalid(std::string& why, const char* reason)
{
    why = reason;
    return ProxyParse::Invalid;
}

// A port as version 1 writes it: 1 to 5 digits, at most 65535.
bool parse_port(const std::string& text, uint16_t& port)
{
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; }))
        return false;
    const long value = std::stol(text);
    port = uint16_t(value);
    return value <= 65535;
}

ProxyParse parse_v1(const uint8_t* bytes, size_t count, ProxyHeader& header, std::string& why)
{
    const uint8_t* end = static_cast<const uint8_t*>(std::memchr(bytes, '\n', std::min(count, V1_MAX)));
    if (!end)
        return count < V1_MAX ? ProxyParse::NeedMore : invalid(why, "PROXY line longer than 107 bytes");
    if (end == bytes || end[-1] != '\r')
        return invalid(why, "PROXY line not ended by CR LF");
    const std::string line(reinterpret_cast<const char*>(bytes), size_t(end - 1 - bytes));
    std::string fields[6];
    size_t n = 0;
    for (size_t at = 0; at <= line.size() && n < 6;) {
        const size_t space = std::min(line.find(' ', at), line.size());
        fields[n++] = line.substr(at, space - at);
        at = space + 1;
    }
    header.length = size_t(end - bytes) + 1;
    if (fields[1] == "UNKNOWN") {
        header.kind = ProxyHeader::Kind::Local;
        return ProxyParse::Done;
    }
    const bool ipv6 = fields[1] == "TCP6";
    if (!ipv6 && fields[1] != "TCP4")
        return invalid(why, "PROXY line names no TCP4, TCP6 or UNKNOWN");
    TcpAddress source;
    TcpAddress destination;
    uint16_t destination_port = 0;
    if (n != 6 || line.size() != fields[0].size() + fields[1].size() + fields[2].size() + fields[3].size() +
                                     fields[4].size() + fields[5].size() + 5 ||
        !tcp_parse_address(fields[2].c_str(), source) || !tcp_parse_address(fields[3].c_str(), destination) ||
        source.ipv6 != ipv6 || destination.ipv6 != ipv6 || !parse_port(fields[4], source.port) ||
        !parse_port(fields[5], destination_port))
        return invalid(why, "PROXY line's addresses or ports are malformed");
    header.kind = ProxyHeader::Kind::Proxied;
    header.source = source;
    return ProxyParse::Done;
}

ProxyParse parse_v2(const uint8_t* bytes, size_t count, ProxyHeader& header, std::string& why)
{
    if (count < 16)
        return ProxyParse::NeedMore;
    const uint8_t version_command = bytes[12];
    const uint8_t family = bytes[13];
    const size_t length = size_t(bytes[14]) << 8 | bytes[15];
    if (version_command >> 4 != 2)
        return invalid(why, "PROXY header of an unknown version");
    const uint8_t command = version_command & 0x0F;
    if (command > 1)
        return invalid(why, "PROXY header with an unknown command");
    if (16 + length > PROXY_HEADER_MAX)
        return invalid(why, "PROXY header longer than 1024 bytes");
    if (count < 16 + length)
        return ProxyParse::NeedMore;
    header.length = 16 + length;
    const uint8_t* a = bytes + 16;
    // LOCAL, and PROXY for what is not TCP over IPv4 or IPv6: no caller.
    if (command == 0 || (family != 0x11 && family != 0x21)) {
        header.kind = ProxyHeader::Kind::Local;
        return ProxyParse::Done;
    }
    const bool ipv6 = family == 0x21;
    const size_t size = ipv6 ? 16 : 4;
    if (length < 2 * size + 4)
        return invalid(why, "PROXY header too short for its addresses");
    header.kind = ProxyHeader::Kind::Proxied;
    header.source = TcpAddress{};
    header.source.ipv6 = ipv6;
    std::memcpy(header.source.bytes, a, size);
    header.source.port = uint16_t(a[2 * size] << 8 | a[2 * size + 1]);
    return ProxyParse::Done;
}

}

ProxyParse parse_proxy_header(const uint8_t* bytes, size_t count, ProxyHeader& header, std::string& why)
{
    if (count == 0)
        return ProxyParse::NeedMore;
    if (starts_like(bytes, count, V2_SIGNATURE, sizeof V2_SIGNATURE))
        return count < sizeof V2_SIGNATURE ? ProxyParse::NeedMore : parse_v2(bytes, count, header, why);
    if (starts_like(bytes, count, V1_PREFIX, sizeof V1_PREFIX - 1))
        return count < sizeof V1_PREFIX - 1 ? ProxyParse::NeedMore : parse_v1(bytes, count, header, why);
    why = "no PROXY header";
    return ProxyParse::NotProxy;
}

ProxyParse take_proxy_header(TcpSocket& connection, ProxyHeader& header, std::string& why)
{
    uint8_t bytes[PROXY_HEADER_MAX];
    const int seen = connection.peek(bytes, sizeof bytes);
    if (seen == TCP_WOULD_BLOCK)
        return ProxyParse::NeedMore;
    if (seen == 0) {
        // Closed without a word (a balancer's plain TCP check): no caller,
        // as with LOCAL.
        header = ProxyHeader();
        return ProxyParse::Done;
    }
    if (seen < 0)
        return invalid(why, "failed before its PROXY header");
    const ProxyParse result = parse_proxy_header(bytes, size_t(seen), header, why);
    if (result != ProxyParse::Done)
        return result;
    // What was looked at is still there: taking the header's length takes
    // exactly the header.
    if (connection.receive(bytes, int(header.length)) != int(header.length))
        return invalid(why, "failed while its PROXY header was taken");
    return ProxyParse::Done;
}

void ProxyHeaderWarnings::closed(const TcpAddress& from, const std::string& why)
{
    const uint64_t now_ms = monotonic_ms();
    if (told_ && now_ms - last_ms_ < 1000) {
        ++untold_;
        return;
    }
    char address[TCP_ADDRESS_TEXT];
    tcp_address_text(from, address);
    if (untold_ > 0)
        app_log.write(LOG_WARNING, "Balancer %s: %s, connection closed (and %d more since the last such line)",
                      address, why.c_str(), untold_);
    else
        app_log.write(LOG_WARNING, "Balancer %s: %s, connection closed", address, why.c_str());
    told_ = true;
    last_ms_ = now_ms;
    untold_ = 0;
}
