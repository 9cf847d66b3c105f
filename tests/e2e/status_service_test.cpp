// The status server and the service manager's notifications seen from
// outside: orva -d with the board host simulator, callers on loopback, a
// datagram socket standing in for the service manager, and HTTP clients
// that stall.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "tests/support/adapter_test.h"
#include "tests/support/http_client.h"
#include "tests/support/loopback_socket.h"

using namespace support;
using support::LoopbackCaller;
using Clock = std::chrono::steady_clock;

namespace {

std::string status_element(const std::string& port)
{
    return "  <Server Type=\"Status\" IP=\"127.0.0.1\" Port=\"" + port + "\"/>\n";
}

// Where NOTIFY_SOCKET points: a unix datagram socket that a thread of the
// test reads at once, as the service manager would, noting when each
// notification came.
class NotifySocket {
public:
    struct Note {
        std::string text;
        Clock::time_point at;
    };

    explicit NotifySocket(const std::string& path)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            ADD_FAILURE() << "cannot bind " << path;
        reader_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                char buffer[4096];
                ssize_t n = poll(&p, 1, 50) > 0 ? recv(fd_, buffer, sizeof buffer, 0) : 0;
                std::lock_guard<std::mutex> hold(lock_);
                if (n > 0)
                    notes_.push_back(Note{std::string(buffer, size_t(n)), Clock::now()});
            }
        });
    }
    ~NotifySocket()
    {
        stop_ = true;
        reader_.join();
        close(fd_);
    }

    std::vector<Note> notes()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return notes_;
    }
    // Whether text came as note number since or later.
    bool came(const std::string& text, size_t since)
    {
        auto all = notes();
        for (size_t i = since; i < all.size(); ++i)
            if (all[i].text == text)
                return true;
        return false;
    }
    std::string all_text()
    {
        std::string all;
        for (const Note& n : notes())
            all += n.text + " | ";
        return all;
    }

private:
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<Note> notes_;
    std::thread reader_;
};

class StatusService : public AdapterTest {
protected:
    bool notified(const std::string& text, size_t since)
    {
        return wait_until([&] {
            pump();
            return notify.came(text, since);
        }, 20s);
    }

    NotifySocket notify{dir.file("notify")};
};

TEST_F(StatusService, NotifiesInOrderAndStalledHttpClientsHoldUpNothing)
{
    int http_port = free_tcp_port();
    extra_config = status_element(std::to_string(http_port));
    setenv("NOTIFY_SOCKET", dir.file("notify").c_str(), 1);
    setenv("WATCHDOG_USEC", "400000", 1);
    start_orva();
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");

    // Ready comes first, once the status server listens.
    ASSERT_TRUE(wait_until([&] { return !notify.notes().empty(); })) << orva->out();
    EXPECT_EQ(notify.notes()[0].text, "READY=1");
    EXPECT_EQ(http_get(http_port, "/metrics").status, 200);
    // With -d no terminal shows the page, but it is drawn for the browser.
    std::string page = http_get(http_port, "/").body;
    EXPECT_NE(page.find("Number of next session:"), std::string::npos) << page;
    ASSERT_TRUE(notified("STATUS=Callers: 0, lines in use: 0", 1)) << notify.all_text();
    int threads = footprint_of(orva->pid()).threads;

    // Clients that send half a request and wait get no threads of their
    // own, and the calls and the main loop go on as before.
    std::vector<std::unique_ptr<LoopbackCaller>> stalled;
    for (int i = 0; i < 16; ++i) {
        stalled.push_back(std::make_unique<LoopbackCaller>(http_port));
        stalled.back()->send("GET /metrics HTTP/1.1\r\n");
    }
    EXPECT_EQ(footprint_of(orva->pid()).threads, threads);
    size_t stall_start = notify.notes().size();
    start_board({"--lines", "2", "--echo"});
    LoopbackCaller caller(telnet_port);
    ASSERT_EQ(call_in(caller), 1);
    caller.send("ping");
    EXPECT_EQ(read(caller, 4), "ping");
    // top -H and perf tell a call's threads and the network's apart.
    const std::string names = thread_names(orva->pid());
    for (const char* name : {"orva-caller\n", "orva-link\n", "orva-ipx\n", "orva-relay\n", "orva-sap\n"})
        EXPECT_NE(names.find(name), std::string::npos) << name << " among\n" << names;
    EXPECT_TRUE(notified("STATUS=Callers: 1, lines in use: 1", stall_start)) << notify.all_text();
    size_t hung_up = notify.notes().size();
    caller.hang_up();
    EXPECT_TRUE(notified("STATUS=Callers: 0, lines in use: 0", hung_up)) << notify.all_text();
    // Pings are due every 200 ms all along. A main loop held by a stalled
    // client would miss them until the server drops it (5 s); no gap comes
    // near that.
    auto all = notify.notes();
    std::vector<Clock::time_point> pings;
    for (size_t i = stall_start; i < all.size(); ++i)
        if (all[i].text == "WATCHDOG=1")
            pings.push_back(all[i].at);
    ASSERT_GE(pings.size(), 5u) << notify.all_text();
    for (size_t i = 1; i < pings.size(); ++i)
        EXPECT_LT(pings[i] - pings[i - 1], 2500ms) << i;

    // Once they go, the server answers again.
    stalled.clear();
    EXPECT_TRUE(wait_until([&] { return http_get(http_port, "/status.json", 2s).status == 200; }, 20s));

    EXPECT_EQ(stop_orva(), 0);
    EXPECT_TRUE(wait_until([&] { return notify.notes().back().text == "STOPPING=1"; }, 5s)) << notify.all_text();
    EXPECT_FALSE(notify.came("READY=1", 1)) << "ready once: " << notify.all_text();
}

// Whether the server has closed fd (end of stream or reset), without waiting.
bool closed_by_server(int fd)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0)
        return false;
    char byte;
    return recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

TEST_F(StatusService, FiveHundredHalfRequestsHoldUpNoScrape)
{
    int http_port = free_tcp_port();
    extra_config = status_element(std::to_string(http_port));
    start_orva();
    ASSERT_TRUE(wait_until([&] { return http_get(http_port, "/", 2s).status == 200; }, 20s)) << orva->out();

    // 500 clients send half a request and wait; a few more drip theirs a
    // byte at a time.
    std::vector<int> stalled;
    for (int i = 0; i < 500; ++i) {
        int fd = dial_loopback(http_port, {nullptr, true});
        ASSERT_GE(fd, 0) << i;
        ASSERT_EQ(send(fd, "GET /metrics HTTP/1.1\r\n", 23, MSG_NOSIGNAL), 23);
        stalled.push_back(fd);
    }
    std::vector<int> drippers;
    for (int i = 0; i < 4; ++i)
        drippers.push_back(dial_loopback(http_port, {nullptr, true}));
    const auto all_open = Clock::now();

    // The server's time limit (5 s from accept) has freed none of them yet,
    // so a scrape answered now was answered beside all of them.
    HttpReply metrics = http_get(http_port, "/metrics", 3s);
    HttpReply page = http_get(http_port, "/", 3s);
    const auto answered = Clock::now();
    EXPECT_EQ(metrics.status, 200);
    EXPECT_NE(metrics.body.find("# TYPE orva_callers gauge\n"), std::string::npos) << metrics.body;
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("Number of next session:"), std::string::npos);
    EXPECT_LT(answered - all_open, 3s);
    int closed_early = 0;
    for (int fd : stalled)
        closed_early += closed_by_server(fd);
    for (int fd : drippers)
        closed_early += closed_by_server(fd);
    EXPECT_EQ(closed_early, 0) << "the scrape came while all of them were open";

    // Then every one of them is closed by the server, the drippers too
    // however often they send.
    auto next_drip = Clock::now();
    EXPECT_TRUE(wait_until([&] {
        int closed = 0;
        bool drip = Clock::now() >= next_drip;
        if (drip)
            next_drip += 1s;
        for (int fd : drippers) {
            if (drip)
                send(fd, "G", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            closed += closed_by_server(fd);
        }
        for (int fd : stalled)
            closed += closed_by_server(fd);
        return closed == 504;
    }, 30s));
    for (int fd : stalled)
        close(fd);
    for (int fd : drippers)
        close(fd);
    EXPECT_EQ(http_get(http_port, "/status.json").status, 200);
    EXPECT_EQ(stop_orva(), 0);
}

TEST(StatusServerStartUp, AnAddressInUseEndsStartUp)
{
    TempDir dir;
    support::TestListener holder;
    std::string port = std::to_string(holder.port());
    dir.write("orva.conf.xml", orva_config(free_tcp_port(), free_udp_port(), true, status_element(port)));
    ChildProcess orva({ORVA_BINARY, "-d"}, dir.path());
    EXPECT_EQ(orva.wait_exit(), 1);
    EXPECT_NE(orva.out().find("ERROR: Status server: cannot listen on 127.0.0.1:" + port + ": Address already in use\n"),
              std::string::npos) << orva.out();
    EXPECT_EQ(orva.out().find("Running ..."), std::string::npos) << orva.out();
}

}
