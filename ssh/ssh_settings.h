// SshSettings: the Server elements of type "SSH", where callers may dial
// over an encrypted connection: each one a listener with its address, port,
// host key file, the callers' character set and whether the older
// algorithms are offered too.
#pragma once

#include <string>
#include <vector>

#include "calls/address_prefix.h"
#include "util/charset.h"

class ConfigFile;

struct SshSettings {
    // Empty: every local IPv4 address.
    std::string ip;
    int port = 2222;
    // Relative to the working directory; made when it does not exist.
    std::string host_key = "orva_ssh_host_ed25519_key";
    // Auto: UTF-8 unless the caller's terminal type names a code page 437
    // terminal; otherwise charset for every caller.
    bool charset_auto = true;
    Charset charset = Charset::Utf8;
    // Adds the SHA-1 key exchanges, CBC ciphers and SHA-1 MACs that older
    // terminal programs still need.
    bool legacy = false;
    // Load balancers whose connections open with a PROXY header naming
    // the caller.
    std::vector<AddressPrefix> trust_proxy;
};

// Reads every Server of type "SSH", in file order; none, none (nothing
// listens). Port must be a port, Charset auto, CP437 or UTF-8, Legacy 0 or
// 1, TrustProxy a list of addresses and prefixes. False, with error, at the
// first malformed value.
bool read_ssh_settings(const ConfigFile& config, std::vector<SshSettings>& out, std::string& error);
