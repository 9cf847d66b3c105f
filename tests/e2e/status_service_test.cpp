// The status server and the service manager's notifications seen from
// outside: orva -d with the board host simulator, callers on loopback, a
// datagram socket standing in for the service manager, and HTTP clients
// that stall.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <mutex>
#include <thread>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/e2e/adapter_rig.h"
#include "tests/e2e/http_client.h"

using namespace e2e;
using testing_telnet::LoopbackCaller;

namespace {

std::string status_element(int port, const std::string& port_text = "")
{
    return "  <Server Type=\"Status\" IP=\"127.0.0.1\" Port=\"" +
           (port_text.empty() ? std::to_string(port) : port_text) + "\"/>\n";
}

// Where NOTIFY_SOCKET points: a unix datagram socket that a thread of the
// test reads at once, as the service manager would, noting when each
// notification came.
class NotifySocket {
public:
    using Clock = std::chrono::steady_clock;
    struct Note {
        std::string text;
        Clock::time_point at;
    };

    explicit NotifySocket(const std::string& path) : path_(path)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            ADD_FAILURE() << "cannot bind " << path;
        reader_ = std::thread([this] { read_all(); });
    }
    ~NotifySocket()
    {
        stop_ = true;
        reader_.join();
        close(fd_);
    }
    const std::string& path() const { return path_; }

    std::vector<Note> notes()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return notes_;
    }
    size_t count() { return notes().size(); }
    // Whether text came as notification number since or later.
    bool came(const std::string& text, size_t since)
    {
        auto all = notes();
        return std::any_of(all.begin() + std::min(since, all.size()), all.end(),
                           [&](const Note& n) { return n.text == text; });
    }
    std::string all_text()
    {
        std::string all;
        for (const Note& n : notes())
            all += n.text + " | ";
        return all;
    }

private:
    void read_all()
    {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            char buffer[4096];
            ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) {
                std::lock_guard<std::mutex> hold(lock_);
                notes_.push_back(Note{std::string(buffer, size_t(n)), Clock::now()});
            }
        }
    }

    std::string path_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<Note> notes_;
    std::thread reader_;
};

class StatusService : public AdapterRig {
protected:
    bool notified(const std::string& text, size_t since, std::chrono::milliseconds timeout = 20s)
    {
        return wait_until([&] {
            pump();
            return notify.came(text, since);
        }, timeout);
    }

    // The longest time between two watchdog pings from note number since on.
    NotifySocket::Clock::duration longest_ping_gap(size_t since, int& pings)
    {
        auto all = notify.notes();
        NotifySocket::Clock::duration longest{};
        NotifySocket::Clock::time_point last{};
        pings = 0;
        for (size_t i = since; i < all.size(); ++i) {
            if (all[i].text != "WATCHDOG=1")
                continue;
            if (pings++ > 0)
                longest = std::max(longest, all[i].at - last);
            last = all[i].at;
        }
        return longest;
    }

    NotifySocket notify{dir.file("notify")};
};

TEST_F(StatusService, NotifiesInOrderAndStalledHttpClientsHoldUpNothing)
{
    int http_port = free_tcp_port();
    extra_config = status_element(http_port);
    setenv("NOTIFY_SOCKET", notify.path().c_str(), 1);
    setenv("WATCHDOG_USEC", "400000", 1);
    start_orva();
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");

    // Ready comes first, once the status server listens.
    ASSERT_TRUE(wait_until([&] { return notify.count() > 0; })) << orva->out();
    EXPECT_EQ(notify.notes()[0].text, "READY=1");
    EXPECT_EQ(http_get(http_port, "/metrics").status, 200);
    // With -d no terminal shows the page, but it is drawn for the browser.
    std::string page = http_get(http_port, "/").body;
    EXPECT_NE(page.find("Number of next session:"), std::string::npos) << page;
    EXPECT_NE(page.find(" ORVA v1.0-32 "), std::string::npos) << page;
    ASSERT_TRUE(notified("STATUS=Callers: 0, lines in use: 0", 1)) << notify.all_text();
    int threads = footprint_of(orva->pid()).threads;

    // Four times as many clients as the server serves at once send half a
    // request and wait: they get no threads of their own, and the calls and
    // the main loop go on as before. (Many more would wait in connect while
    // the kernel drops their SYNs: the server's queues are bounded.)
    std::vector<std::unique_ptr<LoopbackCaller>> stalled;
    for (int i = 0; i < 16; ++i) {
        stalled.push_back(std::make_unique<LoopbackCaller>(http_port));
        stalled.back()->send("GET /metrics HTTP/1.1\r\n");
    }
    EXPECT_EQ(footprint_of(orva->pid()).threads, threads);
    size_t stall_start = notify.count();
    start_board({"--lines", "2", "--echo"});
    LoopbackCaller caller(telnet_port);
    ASSERT_EQ(call_in(caller), 1);
    caller.send("ping");
    EXPECT_EQ(read(caller, 4), "ping");
    EXPECT_TRUE(notified("STATUS=Callers: 1, lines in use: 1", stall_start)) << notify.all_text();
    size_t hung_up = notify.count();
    caller.hang_up();
    EXPECT_TRUE(notified("STATUS=Callers: 0, lines in use: 0", hung_up)) << notify.all_text();
    int pings = 0;
    auto gap = longest_ping_gap(stall_start, pings);
    EXPECT_GE(pings, 5) << notify.all_text();
    // Pings are due every 200 ms.
    EXPECT_LT(gap, std::chrono::milliseconds(500 * LOAD_SCALE)) << notify.all_text();

    // Once they go, the server answers again.
    stalled.clear();
    EXPECT_TRUE(wait_until([&] { return http_get(http_port, "/status.json", 2s).status == 200; }, 20s));

    EXPECT_EQ(stop_orva(), 0);
    EXPECT_TRUE(wait_until([&] {
        auto all = notify.notes();
        return !all.empty() && all.back().text == "STOPPING=1";
    }, 5s)) << notify.all_text();
    auto all = notify.notes();
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const auto& n) { return n.text == "READY=1"; }), 1);
}

// TCP sockets of process pid in the listening state.
int listening_sockets(pid_t pid)
{
    std::set<std::string> inodes;
    std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(fd_dir)) {
        std::error_code error;
        std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (target.rfind("socket:[", 0) == 0)
            inodes.insert(target.substr(8, target.size() - 9));
    }
    int n = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            n += state == "0A" && inodes.count(inode);
        }
    }
    return n;
}

TEST_F(StatusService, WithoutTheElementOnlyTheTelnetPortListens)
{
    start_orva();
    EXPECT_EQ(listening_sockets(orva->pid()), 1);
    EXPECT_EQ(orva->out().find("Status server"), std::string::npos) << orva->out();
    EXPECT_EQ(stop_orva(), 0);
}

TEST(StatusServerStartUp, AnAddressInUseOrAMalformedPortEndsStartUp)
{
    TempDir dir;
    testing_telnet::TestListener holder;
    dir.write("orva.conf.xml", orva_config(free_tcp_port(), free_udp_port(), true, status_element(holder.port())));
    {
        ChildProcess orva({ORVA_BINARY, "-d"}, dir.path());
        EXPECT_EQ(orva.wait_exit(), 1);
        std::string expected = "ERROR: Status server: cannot listen on 127.0.0.1:" + std::to_string(holder.port()) + ": ";
        EXPECT_NE(orva.out().find(expected), std::string::npos) << orva.out();
        EXPECT_NE(orva.out().find("(Address already in use)\n"), std::string::npos) << orva.out();
        EXPECT_EQ(orva.out().find("Running ..."), std::string::npos) << orva.out();
    }
    dir.write("orva.conf.xml", orva_config(free_tcp_port(), free_udp_port(), true, status_element(0, "80x")));
    ChildProcess orva({ORVA_BINARY, "-d"}, dir.path());
    EXPECT_EQ(orva.wait_exit(), 1);
    EXPECT_NE(orva.out().find("ERROR: Status server: Port \"80x\" is not a TCP port (1 to 65535)"), std::string::npos)
        << orva.out();
}

}
