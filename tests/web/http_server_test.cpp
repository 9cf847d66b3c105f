// HttpServer on loopback: the replies a client sees, the bounds on
// connections that stall or crowd in, the hand-over after an upgrade, and
// the same over TLS with a certificate made for the test.
#include <gtest/gtest.h>

#include <mutex>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/http_client.h"
#include "tests/support/loopback_caller.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/test_certificate.h"
#include "tests/support/wait_until.h"
#include "web/http_server.h"

using namespace support;

namespace {

::HttpReply hello(const HttpRequest& request)
{
    ::HttpReply reply;
    reply.content_type = "text/plain";
    reply.body = "hello " + request.path + "?" + request.query;
    if (request.path == "/upgrade") {
        reply.status = 101;
        reply.content_type.clear();
        reply.reason = "Switching Protocols";
        reply.headers = {{"Connection", "Upgrade"}, {"Upgrade", "test"}};
        reply.upgrade = true;
    }
    return reply;
}

// The whole of what the server says to text, until it closes.
std::string exchange(int port, const std::string& text)
{
    LoopbackCaller client(port);
    client.send(text);
    bool closed = false;
    std::string reply = client.receive_until_closed(closed, 10s);
    EXPECT_TRUE(closed) << text;
    return reply;
}

// Whether the server has closed fd (end of stream or reset), without waiting.
bool closed_by_server(int fd)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0)
        return false;
    char byte;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

class HttpServerTest : public testing::Test {
protected:
    void start(const TlsContext* tls = nullptr, int request_timeout_ms = 1000)
    {
        HttpServerSettings settings;
        settings.ip = "127.0.0.1";
        settings.tls = tls;
        settings.max_connections = 8;
        settings.request_timeout_ms = request_timeout_ms;
        ASSERT_EQ(server.start(settings, hello,
                               [this](UpgradedConnection&& c) {
                                   std::lock_guard<std::mutex> hold(lock);
                                   upgraded.push_back(std::move(c));
                               },
                               "orva-test-http"),
                  0)
            << server.last_error();
    }

    std::mutex lock;
    std::vector<UpgradedConnection> upgraded;
    // Stopped first, so no hand-over comes to what is gone.
    HttpServer server;
};

TEST_F(HttpServerTest, AnswersRefusesAndHandsOverUpgrades)
{
    start();
    support::HttpReply ok = http_get(server.port(), "/a?b=1");
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(ok.body, "hello /a?b=1");
    for (const char* header : {"Content-Type: text/plain\r\n", "Content-Length: 12\r\n", "Cache-Control: no-store\r\n",
                               "X-Content-Type-Options: nosniff\r\n", "Connection: close\r\n"})
        EXPECT_NE(ok.headers.find(header), std::string::npos) << header << " in\n" << ok.headers;

    std::string head = exchange(server.port(), "HEAD /a HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head.find("HTTP/1.1 200 OK\r\n"), 0u) << head;
    EXPECT_NE(head.find("Content-Length: 9\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n") << "no body after the head: " << head;

    std::string post = exchange(server.port(), "POST /a HTTP/1.1\r\nContent-Length: 2\r\n\r\nab");
    EXPECT_EQ(post.find("HTTP/1.1 405 Method Not Allowed\r\n"), 0u) << post;
    std::string body = exchange(server.port(), "GET /a HTTP/1.1\r\nContent-Length: 2\r\n\r\nab");
    EXPECT_EQ(body.find("HTTP/1.1 400 Bad Request\r\n"), 0u) << body;
    std::string bad = exchange(server.port(), "GET /a HTTP/1.1\r\nX: a\r\n b\r\n\r\n");
    EXPECT_EQ(bad.find("HTTP/1.1 400 Bad Request\r\n"), 0u) << bad;
    EXPECT_NE(bad.find("\r\n\r\nBad request: folded header line\n"), std::string::npos) << bad;

    // The upgraded connection comes over with the bytes sent after the head,
    // and is the handler's from then on.
    LoopbackCaller client(server.port());
    client.send("GET /upgrade HTTP/1.1\r\nUpgrade: test\r\n\r\nearly bytes");
    std::string switched = client.receive(strlen("HTTP/1.1 101 Switching Protocols\r\n"));
    EXPECT_EQ(switched, "HTTP/1.1 101 Switching Protocols\r\n");
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard<std::mutex> hold(lock);
        return upgraded.size() == 1;
    }));
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_EQ(upgraded[0].leftover, "early bytes");
    EXPECT_EQ(upgraded[0].request.path, "/upgrade");
    EXPECT_EQ(upgraded[0].tls, nullptr);
    upgraded[0].socket->send(reinterpret_cast<const uint8_t*>("mine"), 4);
    client.receive(strlen("Connection: Upgrade\r\nUpgrade: test\r\n\r\n"));
    EXPECT_EQ(client.receive(4), "mine");
    EXPECT_TRUE(wait_until([&] { return server.open_connections() == 0; }, 5s)) << "the upgraded one is not counted";
}

TEST_F(HttpServerTest, StalledConnectionsAreBoundedInNumberAndTime)
{
    // Long enough that the stalled ones are all still open when the one too
    // many comes, however loaded the machine.
    start(nullptr, 3000);
    // As many as the server keeps, each with half a request.
    std::vector<int> stalled;
    for (int i = 0; i < 8; ++i) {
        stalled.push_back(dial_loopback(server.port(), {nullptr, true}));
        ASSERT_EQ(::send(stalled.back(), "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL), 16);
    }
    ASSERT_TRUE(wait_until([&] { return server.open_connections() == 8; }, 2s)) << server.open_connections();
    // One more is closed at once, without an answer.
    std::string refused = exchange(server.port(), "GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(refused, "");
    // The stalled ones are closed once the request time has passed since
    // they connected, however they drip.
    EXPECT_TRUE(wait_until([&] {
        int closed = 0;
        for (int fd : stalled) {
            ::send(fd, "X", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            closed += closed_by_server(fd);
        }
        return closed == 8;
    }, 10s));
    for (int fd : stalled)
        ::close(fd);
    EXPECT_TRUE(wait_until([&] { return server.open_connections() == 0; }, 2s));
    EXPECT_EQ(http_get(server.port(), "/again").status, 200);
}

TEST_F(HttpServerTest, ServesOverTls)
{
    TempDir dir;
    TestCertificate made;
    ASSERT_TRUE(make_test_certificate(dir, "server", made));
    TlsContext tls;
    std::string error;
    ASSERT_TRUE(tls.load(made.certificate, made.key, error)) << error;
    start(&tls);

    SSL_CTX* client_context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(client_context, made.certificate.c_str(), nullptr);
    SSL_CTX_set_verify(client_context, SSL_VERIFY_PEER, nullptr);
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        SSL_CTX_set_min_proto_version(client_context, version);
        SSL_CTX_set_max_proto_version(client_context, version);
        int fd = dial_loopback(server.port(), {nullptr, true});
        SSL* ssl = SSL_new(client_context);
        SSL_set_fd(ssl, fd);
        SSL_set1_host(ssl, "localhost");
        ASSERT_EQ(SSL_connect(ssl), 1) << version;
        const char request[] = "GET /secure?x HTTP/1.1\r\nHost: localhost\r\n\r\n";
        ASSERT_EQ(SSL_write(ssl, request, int(sizeof request - 1)), int(sizeof request - 1));
        std::string reply;
        char buffer[4096];
        int n;
        while ((n = SSL_read(ssl, buffer, sizeof buffer)) > 0)
            reply.append(buffer, size_t(n));
        EXPECT_EQ(reply.find("HTTP/1.1 200 OK\r\n"), 0u) << reply;
        EXPECT_NE(reply.find("\r\n\r\nhello /secure?x"), std::string::npos) << reply;
        SSL_free(ssl);
        ::close(fd);
    }
    SSL_CTX_free(client_context);
    // Plain HTTP on the TLS port gets no answer in the clear.
    EXPECT_EQ(exchange(server.port(), "GET / HTTP/1.1\r\n\r\n").find("HTTP/1.1"), std::string::npos);
}

TEST(TlsContext, LoadErrorsNameTheFileAndWhatIsWrong)
{
    TempDir dir;
    TestCertificate one, other;
    ASSERT_TRUE(make_test_certificate(dir, "one", one));
    ASSERT_TRUE(make_test_certificate(dir, "other", other));
    dir.write("empty.pem", "");
    const struct {
        std::string certificate, key, error;
    } cases[] = {
        {dir.file("missing.crt"), one.key, "certificate file " + dir.file("missing.crt") + " cannot be read"},
        {one.certificate, dir.file("missing.key"), "key file " + dir.file("missing.key") + " cannot be read"},
        {one.key, one.key, "certificate file " + one.key + " holds no PEM certificate"},
        {dir.file("empty.pem"), one.key, "certificate file " + dir.file("empty.pem") + " holds no PEM certificate"},
        {one.certificate, one.certificate, "key file " + one.certificate + " holds no unencrypted PEM private key"},
        {one.certificate, other.key, "key file " + other.key + " does not match the certificate in " + one.certificate},
    };
    for (const auto& c : cases) {
        TlsContext tls;
        std::string error;
        EXPECT_FALSE(tls.load(c.certificate, c.key, error)) << c.error;
        EXPECT_EQ(error, c.error);
        EXPECT_FALSE(tls.loaded());
    }
    TlsContext tls;
    std::string error;
    EXPECT_TRUE(tls.load(one.certificate, one.key, error)) << error;
}

}
