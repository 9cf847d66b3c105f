#include "tests/support/adapter_test.h"

#include "tests/support/adapter_texts.h"
#include "tests/support/wait_until.h"

namespace support {

std::string AdapterTest::read(LoopbackCaller& caller, size_t count, std::chrono::milliseconds timeout)
{
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
        got += caller.receive(std::min<size_t>(count - got.size(), 256 * 1024), 20ms);
        pump();
    }
    return got;
}

std::string AdapterTest::read_until_closed(LoopbackCaller& caller, bool& closed, std::chrono::milliseconds timeout)
{
    std::string got;
    closed = false;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!closed && std::chrono::steady_clock::now() < deadline) {
        got += caller.receive_until_closed(closed, 20ms);
        pump();
    }
    return got;
}

int AdapterTest::call_in(LoopbackCaller& caller)
{
    const std::string head = OPTIONS + GREETING + "Connected to KELB line ";
    std::string got = read(caller, head.size() + 3);
    if (got.size() < head.size() + 3 || got.compare(0, head.size(), head) != 0)
        return -1;
    if (got.back() != '\n')
        got += read(caller, 1);
    return std::stoi(got.substr(head.size()));
}

void AdapterTest::take_baseline()
{
    // Threads of an earlier call may still be on their way out: the
    // baseline is a footprint that has held still for a while.
    Footprint previous = footprint_of(orva->pid());
    auto steady_since = std::chrono::steady_clock::now();
    wait_until(
        [&] {
            pump();
            Footprint now = footprint_of(orva->pid());
            auto t = std::chrono::steady_clock::now();
            if (now.threads != previous.threads || now.fds != previous.fds)
                steady_since = t;
            previous = now;
            return t - steady_since >= 300ms;
        },
        5s);
    baseline = previous;
}

testing::AssertionResult AdapterTest::back_to_baseline(std::chrono::milliseconds timeout)
{
    Footprint now;
    bool back = wait_until(
        [&] {
            pump();
            now = footprint_of(orva->pid());
            return now.threads == baseline.threads && now.fds == baseline.fds &&
                   now.rss_kb <= baseline.rss_kb + RSS_TOLERANCE_KB;
        },
        timeout);
    if (back)
        return testing::AssertionSuccess() << now;
    return testing::AssertionFailure() << "baseline " << baseline << ", now " << now;
}

}
