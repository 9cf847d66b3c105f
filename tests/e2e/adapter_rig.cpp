#include "tests/e2e/adapter_rig.h"

#include <csignal>
#include <dirent.h>
#include <fstream>

namespace e2e {

using testing_telnet::LoopbackCaller;

const std::string OPTIONS("\xFF\xFB\x03\xFF\xFD\x03\xFF\xFD\x00\xFF\xFB\x00\xFF\xFE\x01\xFF\xFB\x01\xFF\xFE\x07\xFF\xFC\x07",
                          24);
const std::string GREETING = "ORVA v1.0 Connected.\r\n";
const std::string DOWN_TEXT = "\r\nKELB is currently down.  Please try back later.\r\n";
const std::string BUSY_TEXT = "KELB is currently busy, please call back again later.\r\n";

std::string connected_text(int line)
{
    return "Connected to KELB line " + std::to_string(line) + "\r\n";
}

std::string bulk_pattern(size_t count)
{
    std::string s(count, '\0');
    for (size_t i = 0; i < count; ++i)
        s[i] = static_cast<char>('0' + i % 64);
    return s;
}

std::string caller_pattern(size_t count, int salt)
{
    // Printable and free of 0xFF, so the board gets exactly these bytes;
    // a period of 89 (prime) never lines up with the 512-byte packets.
    std::string s(count, '\0');
    for (size_t i = 0; i < count; ++i)
        s[i] = static_cast<char>('!' + (i + size_t(salt) * 7) % 89);
    return s;
}

std::ostream& operator<<(std::ostream& out, const Footprint& f)
{
    return out << "{threads " << f.threads << ", fds " << f.fds << ", rss " << f.rss_kb << " kB}";
}

static int entries_in(const std::string& path)
{
    DIR* d = opendir(path.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n;
}

Footprint footprint_of(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    Footprint f;
    f.threads = entries_in(proc + "/task");
    f.fds = entries_in(proc + "/fd");
    std::ifstream status(proc + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            f.rss_kb = std::stol(line.substr(6));
    return f;
}

void AdapterRig::TearDown()
{
    // Children die with their objects; the simulator first, so orva never
    // waits on a pipe nobody reads.
    board.reset();
    orva.reset();
    relay.reset();
}

void AdapterRig::start_orva(bool host_network, const std::string& extra)
{
    dir.write("orva.conf.xml", orva_config(telnet_port, ipx_port, host_network, extra));
    orva = std::make_unique<ChildProcess>(std::vector<std::string>{ORVA_BINARY, "-d"}, dir.path());
    ASSERT_TRUE(orva->wait_for_out("DEBUG: Running ...")) << orva->out() << orva->err();
}

void AdapterRig::start_relay()
{
    relay = std::make_unique<ChildProcess>(
        std::vector<std::string>{RELAY_BINARY, "--listen", "127.0.0.1", "--port", std::to_string(ipx_port)},
        dir.path());
}

void AdapterRig::kill_relay()
{
    relay->signal(SIGKILL);
    ASSERT_EQ(relay->wait_exit(), 128 + SIGKILL);
}

void AdapterRig::start_board(const std::vector<std::string>& options, bool wait_for_sap)
{
    std::vector<std::string> argv{BOARD_SIM_BINARY, "--relay", "127.0.0.1:" + std::to_string(ipx_port)};
    argv.insert(argv.end(), options.begin(), options.end());
    size_t mark = orva_mark();
    board = std::make_unique<ChildProcess>(argv, dir.path());
    ASSERT_TRUE(board->wait_for_out("IPX address: ")) << board->out() << board->err();
    if (wait_for_sap) {
        ASSERT_TRUE(orva_says("SAP: Added Server to List", mark)) << orva->out() << board->out();
    }
}

void AdapterRig::kill_board()
{
    board->signal(SIGKILL);
    ASSERT_EQ(board->wait_exit(), 128 + SIGKILL);
}

int AdapterRig::stop_orva()
{
    orva->signal(SIGTERM);
    return orva->wait_exit();
}

void AdapterRig::pump()
{
    for (ChildProcess* p : {orva.get(), board.get(), relay.get()})
        if (p) {
            p->out();
            p->err();
        }
}

size_t AdapterRig::orva_mark()
{
    return orva ? orva->out().size() : 0;
}

bool AdapterRig::orva_says(const std::string& text, size_t since, std::chrono::milliseconds timeout)
{
    return wait_until(
        [&] {
            pump();
            const std::string& out = orva->out();
            return out.size() > since && out.find(text, since) != std::string::npos;
        },
        timeout);
}

std::string AdapterRig::read(LoopbackCaller& caller, size_t count, std::chrono::milliseconds timeout)
{
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
        got += caller.receive(std::min<size_t>(count - got.size(), 256 * 1024), 20ms);
        pump();
    }
    return got;
}

std::string AdapterRig::read_until_closed(LoopbackCaller& caller, bool& closed, std::chrono::milliseconds timeout)
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

int AdapterRig::call_in(LoopbackCaller& caller)
{
    const std::string head = OPTIONS + GREETING + "Connected to KELB line ";
    std::string got = read(caller, head.size() + 3);
    if (got.size() < head.size() + 3 || got.compare(0, head.size(), head) != 0)
        return -1;
    if (got.back() != '\n')
        got += read(caller, 1);
    return std::stoi(got.substr(head.size()));
}

void AdapterRig::take_baseline()
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

testing::AssertionResult AdapterRig::back_to_baseline(std::chrono::milliseconds timeout)
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
