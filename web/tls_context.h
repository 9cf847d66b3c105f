// TlsContext: the server's certificate and key, loaded once, shared by
// every TLS session the server opens.
#pragma once

#include <string>

struct ssl_ctx_st;

class TlsContext {
public:
    TlsContext() = default;
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // Loads a PEM certificate (chain) and its PEM private key. False with
    // error naming the file and what is wrong with it: cannot be read, not a
    // certificate, not a key, or a key that does not match the certificate.
    bool load(const std::string& certificate_path, const std::string& key_path, std::string& error);
    bool loaded() const { return context_ != nullptr; }

    // The library's context, for TlsStream.
    ssl_ctx_st* native() const { return context_; }

private:
    ssl_ctx_st* context_ = nullptr;
};
