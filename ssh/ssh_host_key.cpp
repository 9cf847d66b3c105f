#include "ssh/ssh_host_key.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <libssh/libssh.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// A private key file is a few hundred bytes; anything far larger is not one.
constexpr size_t KEY_FILE_LIMIT = 64 * 1024;
}

SshHostKey::~SshHostKey()
{
    ssh_key_free(key_);
}

bool SshHostKey::load_or_make(const std::string& path, std::string& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT)
            return make(path, error);
        error = std::strerror(errno);
        return false;
    }
    const bool loaded = load(fd, error);
    ::close(fd);
    return loaded && take_fingerprint(error);
}

bool SshHostKey::load(int fd, std::string& error)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "not a file";
        return false;
    }
    if (st.st_mode & 077) {
        error = "readable by others (chmod 600)";
        return false;
    }
    if (size_t(st.st_size) > KEY_FILE_LIMIT) {
        error = "not a private key (too large)";
        return false;
    }
    std::string text(size_t(st.st_size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? std::strerror(errno) : "cut short while read";
            return false;
        }
        got += size_t(n);
    }
    ssh_key key = nullptr;
    if (ssh_pki_import_privkey_base64(text.c_str(), nullptr, nullptr, nullptr, &key) != SSH_OK || !key) {
        error = "not a private key without a passphrase";
        return false;
    }
    key_ = key;
    return true;
}

bool SshHostKey::make(const std::string& path, std::string& error)
{
    ssh_key key = nullptr;
    if (ssh_pki_generate(SSH_KEYTYPE_ED25519, 0, &key) != SSH_OK) {
        error = "no key could be made";
        return false;
    }
    char* text = nullptr;
    if (ssh_pki_export_privkey_base64(key, nullptr, nullptr, nullptr, &text) != SSH_OK || !text) {
        ssh_key_free(key);
        error = "no key could be made";
        return false;
    }
    // Made with the owner's mode from the start: never readable by others,
    // not for a moment.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool written = fd >= 0;
    if (written) {
        const size_t size = std::strlen(text);
        size_t put = 0;
        while (written && put < size) {
            const ssize_t n = ::write(fd, text + put, size - put);
            if (n < 0 && errno == EINTR)
                continue;
            written = n > 0;
            if (written)
                put += size_t(n);
        }
        written = ::fsync(fd) == 0 && written;
    }
    if (!written)
        error = std::strerror(errno);
    if (fd >= 0) {
        ::close(fd);
        if (!written)
            ::unlink(path.c_str());
    }
    ssh_string_free_char(text);
    if (!written) {
        ssh_key_free(key);
        return false;
    }
    key_ = key;
    made_ = true;
    return take_fingerprint(error);
}

bool SshHostKey::take_fingerprint(std::string& error)
{
    unsigned char* hash = nullptr;
    size_t length = 0;
    if (ssh_get_publickey_hash(key_, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) != SSH_OK) {
        error = "its fingerprint could not be taken";
        return false;
    }
    char* text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
    ssh_clean_pubkey_hash(&hash);
    if (!text) {
        error = "its fingerprint could not be taken";
        return false;
    }
    fingerprint_ = text;
    ssh_string_free_char(text);
    return true;
}

ssh_key_struct* SshHostKey::copy() const
{
    return key_ ? ssh_key_dup(key_) : nullptr;
}
