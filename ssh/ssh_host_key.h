// SshHostKey: the key an SSH listener proves itself with, read from its
// file at start-up, or made there (Ed25519, readable by the owner alone)
// when the file does not exist, so that callers' clients find the same key
// on every run.
#pragma once

#include <string>

struct ssh_key_struct;

class SshHostKey {
public:
    SshHostKey() = default;
    ~SshHostKey();
    SshHostKey(const SshHostKey&) = delete;
    SshHostKey& operator=(const SshHostKey&) = delete;

    // Reads the key at path, or makes one there when there is no file.
    // False, with the reason in error ("readable by others (chmod 600)"),
    // when the file cannot be used.
    bool load_or_make(const std::string& path, std::string& error);

    // A copy for a listener to own; null before load_or_make succeeded.
    ssh_key_struct* copy() const;
    // "SHA256:..." as clients show it.
    const std::string& fingerprint() const { return fingerprint_; }
    // True when load_or_make made the file.
    bool made() const { return made_; }

private:
    bool load(int fd, std::string& error);
    bool make(const std::string& path, std::string& error);
    bool take_fingerprint(std::string& error);

    ssh_key_struct* key_ = nullptr;
    std::string fingerprint_;
    bool made_ = false;
};
