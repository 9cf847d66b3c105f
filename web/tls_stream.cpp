#include "web/tls_stream.h"

#include <cerrno>
#include <mutex>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include "web/tls_context.h"

namespace {
// The library's own socket transport writes with write(2), which raises
// SIGPIPE on a connection the peer has reset; this one sends with
// MSG_NOSIGNAL instead.
int socket_of(BIO* bio)
{
    return int(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

int bio_write(BIO* bio, const char* bytes, int length)
{
    BIO_clear_retry_flags(bio);
    ssize_t n = ::send(socket_of(bio), bytes, size_t(length), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_write(bio);
    return int(n);
}

int bio_read(BIO* bio, char* buffer, int length)
{
    BIO_clear_retry_flags(bio);
    ssize_t n = ::recv(socket_of(bio), buffer, size_t(length), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_read(bio);
    return int(n);
}

long bio_control(BIO*, int command, long, void*)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* socket_method()
{
    static BIO_METHOD* method = nullptr;
    static std::once_flag made;
    std::call_once(made, [] {
        method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "non-signalling socket");
        BIO_meth_set_write(method, bio_write);
        BIO_meth_set_read(method, bio_read);
        BIO_meth_set_ctrl(method, bio_control);
        BIO_meth_set_create(method, [](BIO* bio) {
            BIO_set_init(bio, 1);
            return 1;
        });
    });
    return method;
}
}

TlsStream::TlsStream(const TlsContext& context, int socket_fd)
{
    ssl_ = SSL_new(context.native());
    BIO* bio = ssl_ ? BIO_new(socket_method()) : nullptr;
    if (!bio) {
        broken_ = true;
        return;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(intptr_t(socket_fd)));
    SSL_set_bio(ssl_, bio, bio);
    SSL_set_accept_state(ssl_);
}

TlsStream::~TlsStream()
{
    SSL_free(ssl_);
}

int TlsStream::classify(int result)
{
    int code = SSL_get_error(ssl_, result);
    // The library's error queue is per thread; leave it empty for the next
    // session served on this one.
    ERR_clear_error();
    switch (code) {
    case SSL_ERROR_WANT_READ:
        wanted_ = PollReadable;
        return WaitFor;
    case SSL_ERROR_WANT_WRITE:
        wanted_ = PollWritable;
        return WaitFor;
    case SSL_ERROR_ZERO_RETURN:
        return Closed;
    default:
        broken_ = true;
        return Broken;
    }
}

int TlsStream::handshake()
{
    if (broken_)
        return -1;
    int result = SSL_do_handshake(ssl_);
    if (result == 1)
        return 1;
    return classify(result) == WaitFor ? 0 : -1;
}

int TlsStream::receive(uint8_t* buffer, int length)
{
    if (broken_)
        return -1;
    int result = SSL_read(ssl_, buffer, length);
    if (result > 0)
        return result;
    switch (classify(result)) {
    case WaitFor:
        return TCP_WOULD_BLOCK;
    case Closed:
        return 0;
    default:
        return -1;
    }
}

int TlsStream::send(const uint8_t* bytes, int length)
{
    if (broken_)
        return -1;
    if (length <= 0)
        return 0;
    int result = SSL_write(ssl_, bytes, length);
    if (result > 0)
        return result;
    // A peer that closed cannot take more.
    return classify(result) == WaitFor ? 0 : -1;
}

bool TlsStream::pending() const
{
    return ssl_ && SSL_pending(ssl_) > 0;
}

void TlsStream::shutdown()
{
    if (broken_ || !SSL_is_init_finished(ssl_))
        return;
    SSL_shutdown(ssl_);
    ERR_clear_error();
    broken_ = true;
}
