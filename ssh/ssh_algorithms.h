// The algorithm lists an SSH listener offers when its older algorithms are
// asked for: the library's own defaults, then the SHA-1 key exchanges, the
// CBC ciphers and the SHA-1 MACs that long-lived terminal programs still
// use. Without them the library's defaults stand as they are.
#pragma once

struct SshAlgorithms {
    const char* key_exchanges;
    const char* ciphers;
    const char* macs;
};

extern const SshAlgorithms SSH_LEGACY_ALGORITHMS;
