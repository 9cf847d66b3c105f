#include "calls/address_prefix.h"

#include <cstring>

#include "config/setting_reader.h"

namespace {
int family_bits(const TcpAddress& a) { return a.ipv6 ? 128 : 32; }
}

bool parse_address_prefix(const std::string& text, AddressPrefix& out)
{
    out = AddressPrefix{};
    size_t slash = text.find('/');
    if (!tcp_parse_address(text.substr(0, slash).c_str(), out.address))
        return false;
    const int bits = family_bits(out.address);
    out.length = bits;
    if (slash != std::string::npos) {
        const std::string digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        out.length = std::stoi(digits);
        if (out.length > bits)
            return false;
    }
    // IPv4 callers of a listener of both families arrive as IPv4, so an
    // IPv4-mapped prefix ("::ffff:192.0.2.0/120") names them as IPv4.
    static const uint8_t MAPPED[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (out.address.ipv6 && out.length >= 96 && std::memcmp(out.address.bytes, MAPPED, 12) == 0) {
        std::memmove(out.address.bytes, out.address.bytes + 12, 4);
        std::memset(out.address.bytes + 4, 0, 12);
        out.address.ipv6 = false;
        out.length -= 96;
    }
    // Host bits are cleared, so "192.0.2.7/24" names 192.0.2.0/24.
    for (int i = 0; i < family_bits(out.address) / 8; ++i) {
        const int keep = out.length - i * 8;
        if (keep <= 0)
            out.address.bytes[i] = 0;
        else if (keep < 8)
            out.address.bytes[i] &= uint8_t(0xFF00u >> keep);
    }
    return true;
}

bool parse_address_list(const std::string& text, std::vector<AddressPrefix>& out, std::string& bad)
{
    out.clear();
    size_t at = 0;
    while ((at = text.find_first_not_of(" ,", at)) != std::string::npos) {
        size_t end = text.find_first_of(" ,", at);
        std::string item = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        AddressPrefix prefix;
        if (!parse_address_prefix(item, prefix)) {
            bad = item;
            return false;
        }
        out.push_back(prefix);
        at = end;
    }
    return true;
}

bool prefix_contains(const AddressPrefix& prefix, const TcpAddress& address)
{
    if (prefix.address.ipv6 != address.ipv6)
        return false;
    for (int i = 0; i * 8 < prefix.length; ++i) {
        const int keep = prefix.length - i * 8;
        const uint8_t mask = keep >= 8 ? 0xFF : uint8_t(0xFF00u >> keep);
        if ((address.bytes[i] & mask) != prefix.address.bytes[i])
            return false;
    }
    return true;
}

bool prefixes_contain(const std::vector<AddressPrefix>& prefixes, const TcpAddress& address)
{
    for (const AddressPrefix& prefix : prefixes)
        if (prefix_contains(prefix, address))
            return true;
    return false;
}

bool read_address_list(SettingReader& reader, const char* key, std::vector<AddressPrefix>& out)
{
    std::string value;
    reader.text(key, value);
    std::string bad;
    if (parse_address_list(value, out, bad))
        return true;
    return reader.refuse(key, value, "a list of IPv4 and IPv6 addresses and prefixes (\"" + bad + "\" is none)");
}
