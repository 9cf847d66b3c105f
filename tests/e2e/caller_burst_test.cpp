// Callers who dial in at the same moment: each one is answered, even those
// the listener could not take at once. A Telnet caller sends nothing before
// the greeting, so a connection left unqueued would wait for ever.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/free_port.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/wait_until.h"
#include "tests/support/adapter_texts.h"

using namespace support;

namespace {

const std::string REFUSAL = "KELB is currently down.  Please try back later.\r\n";

}

TEST(CallerBurst, ThirtyTwoCallersAtOnceAreAllGreeted)
{
    TempDir dir;
    const int port = free_tcp_port();
    dir.write("orva.conf.xml", orva_config(port, free_udp_port()));
    ChildProcess orva({ORVA_BINARY, "-d"}, dir.path());
    ASSERT_TRUE(orva.wait_for_out("DEBUG: Running ...")) << orva.out() << orva.err();

    std::vector<int> callers;
    for (int i = 0; i < 32; ++i)
        callers.push_back(dial_loopback(port));
    std::vector<std::string> got(callers.size());
    std::vector<bool> closed(callers.size(), false);
    auto all_closed = [&] {
        std::vector<pollfd> fds;
        for (size_t i = 0; i < callers.size(); ++i)
            if (!closed[i])
                fds.push_back(pollfd{callers[i], POLLIN, 0});
        ::poll(fds.data(), fds.size(), 5);
        for (size_t i = 0; i < callers.size(); ++i) {
            if (closed[i])
                continue;
            char buffer[512];
            const ssize_t n = ::recv(callers[i], buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                got[i].append(buffer, static_cast<size_t>(n));
            else if (n == 0)
                closed[i] = true;
        }
        for (bool c : closed)
            if (!c)
                return false;
        return true;
    };
    EXPECT_TRUE(wait_until(all_closed, 10s));
    int answered = 0;
    for (size_t i = 0; i < callers.size(); ++i) {
        answered += got[i].find(REFUSAL) != std::string::npos ? 1 : 0;
        ::close(callers[i]);
    }
    EXPECT_EQ(answered, 32);
    orva.signal(SIGTERM);
    EXPECT_EQ(orva.wait_exit(), 0);
}
