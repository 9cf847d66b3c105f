// AddressPrefix: an IPv4 or IPv6 address or CIDR prefix, as the access
// lists name callers.
#pragma once

#include <string>
#include <vector>

#include "port/tcp.h"

struct AddressPrefix {
    // Bits past length are zero.
    TcpAddress address;
    // 0..32 for IPv4, 0..128 for IPv6; a plain address is a whole prefix.
    int length = 0;
};

// "192.0.2.7", "192.0.2.0/24", "2001:db8::1", "2001:db8::/32". False when
// the address or the length is malformed or out of range.
bool parse_address_prefix(const std::string& text, AddressPrefix& out);

// Items separated by spaces or commas. False at the first malformed item,
// which bad receives; out then holds the items before it.
bool parse_address_list(const std::string& text, std::vector<AddressPrefix>& out, std::string& bad);

// Whether address lies in prefix (never across families).
bool prefix_contains(const AddressPrefix& prefix, const TcpAddress& address);
// Whether address lies in any of prefixes.
bool prefixes_contain(const std::vector<AddressPrefix>& prefixes, const TcpAddress& address);

class SettingReader;
// The setting key of reader as a list of addresses and prefixes into out;
// false (refused by reader) when an item is malformed.
bool read_address_list(SettingReader& reader, const char* key, std::vector<AddressPrefix>& out);
