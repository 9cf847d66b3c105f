#include "web/tls_context.h"

#include <cstdio>
#include <memory>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace {
// The file's whole text, or false when it cannot be read.
bool read_file(const std::string& path, std::string& text)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char buffer[4096];
    size_t n;
    bool ok = true;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        text.append(buffer, n);
        // A PEM certificate chain or key is a few KiB; this is not one.
        if (text.size() > (1u << 20)) {
            ok = false;
            break;
        }
    }
    ok = ok && !std::ferror(f);
    std::fclose(f);
    return ok;
}

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
}

TlsContext::~TlsContext()
{
    SSL_CTX_free(context_);
}

bool TlsContext::load(const std::string& certificate_path, const std::string& key_path, std::string& error)
{
    std::string certificate_text, key_text;
    if (!read_file(certificate_path, certificate_text)) {
        error = "certificate file " + certificate_path + " cannot be read";
        return false;
    }
    if (!read_file(key_path, key_text)) {
        error = "key file " + key_path + " cannot be read";
        return false;
    }

    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (!context) {
        error = "the TLS library cannot make a context";
        return false;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // A peer that drops the connection without TLS's goodbye is a plain end
    // of stream, as for an unencrypted connection.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

    auto fail = [&](std::string why) {
        ERR_clear_error();
        SSL_CTX_free(context);
        error = std::move(why);
        return false;
    };

    std::unique_ptr<BIO, BioFree> certificates(BIO_new_mem_buf(certificate_text.data(), int(certificate_text.size())));
    X509* leaf = PEM_read_bio_X509(certificates.get(), nullptr, nullptr, nullptr);
    if (!leaf)
        return fail("certificate file " + certificate_path + " holds no PEM certificate");
    int used = SSL_CTX_use_certificate(context, leaf);
    X509_free(leaf);
    if (used != 1)
        return fail("certificate file " + certificate_path + " holds a certificate the TLS library refuses");
    // The rest of a chain, when the file has one.
    while (X509* link = PEM_read_bio_X509(certificates.get(), nullptr, nullptr, nullptr)) {
        if (SSL_CTX_add0_chain_cert(context, link) != 1) {
            X509_free(link);
            return fail("certificate file " + certificate_path + " holds a chain certificate the TLS library refuses");
        }
    }

    std::unique_ptr<BIO, BioFree> key_bio(BIO_new_mem_buf(key_text.data(), int(key_text.size())));
    // No pass phrase can be asked for: an encrypted key is not a usable key.
    EVP_PKEY* key = PEM_read_bio_PrivateKey(key_bio.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr);
    if (!key)
        return fail("key file " + key_path + " holds no unencrypted PEM private key");
    used = SSL_CTX_use_PrivateKey(context, key);
    EVP_PKEY_free(key);
    if (used != 1 || SSL_CTX_check_private_key(context) != 1)
        return fail("key file " + key_path + " does not match the certificate in " + certificate_path);

    ERR_clear_error();
    SSL_CTX_free(context_);
    context_ = context;
    return true;
}
