// orva-bench: the adapter measured as a whole, on loopback. It runs the IPX
// relay, the board host simulator and orva as real processes, drives Telnet
// callers at them, and does the same through ser2net and straight to a TCP
// peer for reference; then SSH callers at orva alone. Prints a table and
// writes the figures as JSON.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/bench_report.h"
#include "bench/load_callers.h"
#include "bench/process_usage.h"
#include "bench/reference_server.h"
#include "tests/support/adapter_rig.h"
#include "tests/support/adapter_texts.h"
#include "tests/support/child_process.h"
#include "tests/support/free_port.h"
#include "tests/support/wait_until.h"

namespace {


// What a caller hears from orva with no board host, before the close.
std::string refusal()
{
    return support::GREETING + support::DOWN_TEXT;
}

struct Settings {
    bool quick = false;
    std::string json = "bench-results.json";
    std::string orva = ORVA_BINARY;
    std::string relay = RELAY_BINARY;
    std::string board = BOARD_SIM_BINARY;
    std::string ser2net = "/usr/sbin/ser2net";
    bool keep = false;
    // Sizes; --quick shrinks them.
    int lines = 96;
    int echo_samples_one = 300;
    int echo_samples_many = 40;
    int pause_min_ms = 20;
    int pause_max_ms = 60;
    long bulk_one = 2 << 20;
    long bulk_each = 256 << 10;
    long send_one = 2 << 20;
    long send_each = 128 << 10;
    long refuse_calls = 5000;
    int refuse_ms = 10000;
    int refuse_concurrency = 8;
    int window_ms = 3000;
    int stream_timeout_ms = 90000;
};

void quicken(Settings& s)
{
    s.quick = true;
    s.lines = 4;
    s.echo_samples_one = 30;
    s.echo_samples_many = 10;
    s.bulk_one = 64 << 10;
    s.bulk_each = 16 << 10;
    s.send_one = 64 << 10;
    s.send_each = 16 << 10;
    s.refuse_calls = 40;
    s.refuse_ms = 3000;
    s.window_ms = 300;
    s.stream_timeout_ms = 15000;
}

void wait_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// True when something listens on (TCP) or is bound to (UDP) 127.0.0.1:port.
bool port_in_use(int port, bool udp)
{
    std::ifstream table(udp ? "/proc/net/udp" : "/proc/net/tcp");
    std::string line;
    char want[16];
    std::snprintf(want, sizeof want, "0100007F:%04X", port);
    while (std::getline(table, line)) {
        std::istringstream f(line);
        std::string slot, local, remote, state;
        f >> slot >> local >> remote >> state;
        if (local == want && (udp || state == "0A"))
            return true;
    }
    return false;
}

double median(const std::vector<double>& v)
{
    return percentile(v, 50);
}

double minimum(const std::vector<double>& v)
{
    return v.empty() ? NAN : *std::min_element(v.begin(), v.end());
}

Figure make_figure(const std::string& key, const std::string& label, const std::string& unit)
{
    Figure f;
    f.key = key;
    f.label = label;
    f.unit = unit;
    return f;
}

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

support::AdapterPrograms programs_of(const Settings& s)
{
    support::AdapterPrograms p;
    p.orva = s.orva;
    p.relay = s.relay;
    p.board = s.board;
    return p;
}

// orva with its own directory, joined to the relay, and optionally a
// simulated board host that it has heard announce itself.
class BenchAdapter {
public:
    // With ssh, orva also takes SSH callers, passing their bytes unchanged.
    BenchAdapter(const Settings& s, const std::string& dir, int relay_port, const std::vector<std::string>& board_args,
                 bool ssh = false)
        : rig_(dir, programs_of(s))
    {
        rig_.ipx_port = relay_port;
        if (ssh)
            rig_.extra_config = "<Server Type=\"SSH\" IP=\"127.0.0.1\" Port=\"" + std::to_string(ssh_port_) +
                                "\" HostKey=\"host_key\" Charset=\"CP437\"/>\n";
        if (!rig_.start_orva(false))
            throw Failure("orva did not start: " + rig_.why());
        if (board_args.empty())
            return;
        std::vector<std::string> options{"--lines", std::to_string(s.lines)};
        options.insert(options.end(), board_args.begin(), board_args.end());
        if (!rig_.start_board(options))
            throw Failure("orva never heard the board host: " + rig_.why());
    }
    ~BenchAdapter() { stop(); }

    int port() const { return rig_.telnet_port; }
    int ssh_port() const { return ssh_port_; }
    pid_t pid() const { return rig_.orva->pid(); }
    pid_t board_pid() const { return rig_.board ? rig_.board->pid() : 0; }
    // Waits until the board has freed every line it gave out so far.
    void wait_lines_free(int connected_so_far)
    {
        if (rig_.board &&
            !rig_.board->wait_for_out("ended by the caller", std::chrono::seconds(15), size_t(connected_so_far)))
            throw Failure("the board host's lines were not freed");
    }
    int stop()
    {
        if (rig_.board)
            rig_.board->stop();
        const int status = rig_.orva ? rig_.orva->stop() : 0;
        rig_.board.reset();
        rig_.orva.reset();
        return status;
    }

private:
    support::AdapterRig rig_;
    int ssh_port_ = support::free_tcp_port();
};

// ser2net with one telnet accepter per line, each relaying to the
// reference server.
class Ser2netRig {
public:
    // Line i relays to targets[i]: ser2net lets one line at a time use a
    // target, as it would a serial device.
    Ser2netRig(const Settings& s, const std::string& dir, const std::vector<int>& targets)
    {
        std::ofstream yaml(dir + "/ser2net.yaml");
        for (size_t i = 0; i < targets.size(); ++i) {
            int port = 0;
            do
                port = support::free_tcp_port();
            while (std::find(ports_.begin(), ports_.end(), port) != ports_.end());
            ports_.push_back(port);
            yaml << "connection: &line" << i + 1 << "\n"
                 << "  accepter: telnet,tcp,127.0.0.1," << port << "\n"
                 << "  connector: tcp,127.0.0.1," << targets[i] << "\n"
                 // No waiting to gather bytes into bigger writes: a terminal
                 // relay forwards each keystroke as it comes.
                 << "  options:\n    kickolduser: false\n    max-connections: 1\n    chardelay: false\n\n";
        }
        yaml.close();
        process_ = std::make_unique<support::ChildProcess>(
            std::vector<std::string>{s.ser2net, "-n", "-u", "-c", dir + "/ser2net.yaml", "-P", dir + "/ser2net.pid"},
            dir, dir + "/ser2net.out");
        if (!support::wait_until([&] { return port_in_use(ports_.back(), false) && port_in_use(ports_.front(), false); },
                                 std::chrono::seconds(10)))
            throw Failure("ser2net did not listen: " + process_->out());
    }
    const std::vector<int>& ports() const { return ports_; }
    pid_t pid() const { return process_->pid(); }

private:
    std::vector<int> ports_;
    std::unique_ptr<support::ChildProcess> process_;
};

struct Peer {
    std::string name;          // orva, ser2net, direct
    std::vector<int> ports;
    bool through_adapter = false;
    pid_t pid = 0;             // whose CPU is measured; 0 for none
    // The reference server behind the peer: each run starts once the last
    // one's connections are gone (ser2net refuses a port still closing).
    const ReferenceServer* reference = nullptr;
    // Behind orva: the board host simulator and the IPX relay, measured over
    // the same stretches so that their share is seen apart from orva's.
    pid_t board_pid = 0;
    pid_t relay_pid = 0;
    bool ssh = false;  // callers dial orva over SSH
};

Peer orva_peer(const BenchAdapter& rig, pid_t relay_pid, bool ssh = false)
{
    Peer p{"orva", {ssh ? rig.ssh_port() : rig.port()}, true, rig.pid()};
    p.ssh = ssh;
    p.board_pid = rig.board_pid();
    p.relay_pid = relay_pid;
    return p;
}

void wait_until_closed(const Peer& p)
{
    if (p.reference && !support::wait_until([&] { return p.reference->connections() == 0; }, std::chrono::seconds(10)))
        throw Failure(p.name + ": the last run's connections did not close");
}

struct EchoFigures {
    double p50 = NAN, p99 = NAN, max = NAN;
    long samples = 0, wrong = 0, unanswered = 0;
};

struct UsageFigures {
    double core = NAN;
    double rss_mb = NAN;
    int threads = 0;
};

UsageFigures usage_of(const UsageWindow& w)
{
    if (!w.ok)
        return {};
    return {w.core_share * 100.0, static_cast<double>(w.rss_kb) / 1024.0, w.threads};
}

// One stretch of wall time: the peer's usage, and the simulator's and the
// relay's where they are behind it.
struct StretchUsage {
    UsageFigures peer, board, relay;
};

class StretchMeter {
public:
    explicit StretchMeter(const Peer& p) : peer_(p.pid), board_(p.board_pid), relay_(p.relay_pid) {}
    StretchUsage finish() const
    {
        return {usage_of(peer_.finish()), usage_of(board_.finish()), usage_of(relay_.finish())};
    }

private:
    // A pid of 0 names no process: its window stays empty.
    UsageMeter peer_, board_, relay_;
};

struct PeerRun {
    std::vector<int> echo_lines;
    std::vector<EchoFigures> echo;
    StretchUsage idle, idle_callers, typing, streaming_out, streaming_in;
    StreamResult out_one, out_all, in_one, in_all;
    RefuseResult refuse;
    bool refuse_run = false;
};

void connect_or_fail(CallerGroup& g, const Peer& p, int count)
{
    if (p.name == "ser2net")
        g.set_busy_text("Port's device already in use");
    // A code page 437 terminal, as the Telnet callers' port passes bytes.
    if (p.ssh)
        g.set_ssh("ansi");
    std::string error;
    if (!g.connect(p.ports, count, 30000, error))
        throw Failure(p.name + ": " + error);
}

void measure_echo(const Settings& s, const Peer& p, PeerRun& run, BenchAdapter* rig, int& connected)
{
    if (p.pid) {
        StretchMeter idle(p);
        wait_ms(s.window_ms);
        run.idle = idle.finish();
    }
    for (int lines : run.echo_lines) {
        wait_until_closed(p);
        CallerGroup group(p.through_adapter);
        connect_or_fail(group, p, lines);
        connected += lines;
        if (lines == s.lines && p.pid) {
            StretchMeter idle(p);
            wait_ms(s.window_ms);
            run.idle_callers = idle.finish();
        }
        std::unique_ptr<StretchMeter> typing;
        if (lines == s.lines && p.pid)
            typing = std::make_unique<StretchMeter>(p);
        const int samples = lines == 1 ? s.echo_samples_one : s.echo_samples_many;
        EchoResult r = run_echo(group, samples, s.pause_min_ms, s.pause_max_ms, 120000);
        if (typing)
            run.typing = typing->finish();
        EchoFigures f;
        f.samples = static_cast<long>(r.latency_ms.size());
        f.wrong = r.wrong;
        f.unanswered = r.unanswered;
        if (!r.latency_ms.empty()) {
            f.p50 = percentile(r.latency_ms, 50);
            f.p99 = percentile(r.latency_ms, 99);
            f.max = percentile(r.latency_ms, 100);
        }
        run.echo.push_back(f);
        group.hang_up();
        if (rig)
            rig->wait_lines_free(connected);
    }
}

StreamResult measure_stream(const Settings& s, const Peer& p, int lines, long bytes, bool to_caller,
                            StretchUsage* usage)
{
    wait_until_closed(p);
    CallerGroup group(p.through_adapter);
    std::unique_ptr<StretchMeter> meter;
    if (usage && p.pid)
        meter = std::make_unique<StretchMeter>(p);
    connect_or_fail(group, p, lines);
    StreamResult r = to_caller ? run_receive(group, bytes, 500, s.stream_timeout_ms)
                               : run_send(group, bytes, 500, s.stream_timeout_ms);
    if (meter)
        *usage = meter->finish();
    return r;
}

std::string machine_text()
{
    std::string model;
    std::ifstream cpu("/proc/cpuinfo");
    for (std::string line; std::getline(cpu, line);)
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    utsname u{};
    uname(&u);
    return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores, Linux " + u.release;
}

std::string today()
{
    char t[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(t, sizeof t, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    return t;
}

void usage_text()
{
    std::puts("Usage: orva-bench [--quick] [--json PATH] [--no-ser2net] [--keep]\n"
              "                  [--orva PATH] [--relay PATH] [--board PATH] [--ser2net PATH]\n"
              "Measures orva on loopback against ser2net and a direct TCP connection.\n"
              "  --quick      tiny sizes and 4 lines, for a smoke run\n"
              "  --json PATH  where the figures go (default bench-results.json)\n"
              "  --no-ser2net leave out the ser2net reference\n"
              "  --keep       keep the working directory with every program's output");
}

}

int main(int argc, char** argv)
{
    Settings s;
    bool with_ser2net = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "orva-bench: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            out = argv[++i];
        };
        if (a == "--quick")
            quicken(s);
        else if (a == "--json")
            value(s.json);
        else if (a == "--orva")
            value(s.orva);
        else if (a == "--relay")
            value(s.relay);
        else if (a == "--board")
            value(s.board);
        else if (a == "--ser2net")
            value(s.ser2net);
        else if (a == "--no-ser2net")
            with_ser2net = false;
        else if (a == "--keep")
            s.keep = true;
        else if (a == "--help" || a == "-h") {
            usage_text();
            return 0;
        } else {
            std::fprintf(stderr, "orva-bench: unknown option %s\n", a.c_str());
            usage_text();
            return 2;
        }
    }
    if (with_ser2net && access(s.ser2net.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "orva-bench: no ser2net at %s, its column stays empty\n", s.ser2net.c_str());
        with_ser2net = false;
    }

    // Other work on the machine skews every figure; say how busy it was.
    std::string load_before;
    std::getline(std::ifstream("/proc/loadavg"), load_before);
    char dir_template[] = "/tmp/orva-bench-XXXXXX";
    const std::string work = mkdtemp(dir_template);
    BenchReport report;
    int status = 0;
    try {
        ReferenceServer reference(s.lines);
        support::AdapterRig network(work, programs_of(s));
        if (!network.start_relay())
            throw Failure("the IPX relay did not start: " + network.why());
        const int relay_port = network.ipx_port;
        const pid_t relay_pid = network.relay->pid();
        std::unique_ptr<Ser2netRig> ser2net;
        if (with_ser2net)
            ser2net = std::make_unique<Ser2netRig>(s, work, reference.ports());

        std::vector<int> echo_lines{1};
        if (s.lines > 16)
            echo_lines.push_back(16);
        echo_lines.push_back(s.lines);
        PeerRun orva, s2n, direct;
        for (PeerRun* r : {&orva, &s2n, &direct})
            r->echo_lines = echo_lines;
        Peer direct_peer{"direct", {reference.port()}, false, 0, &reference};
        Peer s2n_peer{"ser2net", ser2net ? ser2net->ports() : std::vector<int>{}, false, ser2net ? ser2net->pid() : 0,
                      &reference};
        int rig_number = 0;
        auto rig_dir = [&] { return work + "/orva-" + std::to_string(++rig_number); };

        std::fprintf(stderr, "orva-bench: callers refused with no board host\n");
        {
            BenchAdapter rig(s, rig_dir(), relay_port, {});
            orva.refuse = run_refuse(rig.port(), refusal(), s.refuse_concurrency, s.refuse_calls, s.refuse_ms);
            orva.refuse_run = true;
        }
        reference.set_mode(ReferenceServer::Mode::Refuse, 0, support::OPTIONS + refusal());
        direct.refuse = run_refuse(reference.port(), refusal(), s.refuse_concurrency, s.refuse_calls, s.refuse_ms);
        direct.refuse_run = true;

        std::fprintf(stderr, "orva-bench: keystroke echo\n");
        {
            BenchAdapter rig(s, rig_dir(), relay_port, {"--echo"});
            const Peer p = orva_peer(rig, relay_pid);
            int connected = 0;
            measure_echo(s, p, orva, &rig, connected);
        }
        reference.set_mode(ReferenceServer::Mode::Echo);
        int none = 0;
        if (ser2net)
            measure_echo(s, s2n_peer, s2n, nullptr, none);
        measure_echo(s, direct_peer, direct, nullptr, none);

        // One way at a time, from one line alone and then from every line at
        // once: through orva the board sends or checks the pattern, for the
        // other peers the reference server does.
        auto measure_streams = [&](bool to_caller, long one, long each, StreamResult PeerRun::*one_result,
                                   StreamResult PeerRun::*all_result, StretchUsage PeerRun::*usage) {
            std::fprintf(stderr, "orva-bench: %s streams\n", to_caller ? "board -> caller" : "caller -> board");
            for (const bool all : {false, true}) {
                const std::string bytes = std::to_string(all ? each : one);
                BenchAdapter rig(s, rig_dir(), relay_port,
                                 to_caller ? std::vector<std::string>{"--echo", "--bulk", bytes}
                                           : std::vector<std::string>{"--verify", bytes});
                orva.*(all ? all_result : one_result) =
                    measure_stream(s, orva_peer(rig, relay_pid), all ? s.lines : 1, all ? each : one, to_caller,
                                   all ? &(orva.*usage) : nullptr);
            }
            for (auto [peer, run] : {std::pair{&s2n_peer, &s2n}, std::pair{&direct_peer, &direct}}) {
                if (peer->ports.empty())
                    continue;
                for (const bool all : {false, true}) {
                    reference.set_mode(to_caller ? ReferenceServer::Mode::Bulk : ReferenceServer::Mode::Verify,
                                       all ? each : one);
                    run->*(all ? all_result : one_result) = measure_stream(
                        s, *peer, all ? s.lines : 1, all ? each : one, to_caller, all ? &(run->*usage) : nullptr);
                }
            }
        };
        measure_streams(true, s.bulk_one, s.bulk_each, &PeerRun::out_one, &PeerRun::out_all, &PeerRun::streaming_out);
        measure_streams(false, s.send_one, s.send_each, &PeerRun::in_one, &PeerRun::in_all, &PeerRun::streaming_in);

        // The same board over SSH: every line typing, then one line each way.
        PeerRun ssh;
        ssh.echo_lines = {s.lines};
        std::fprintf(stderr, "orva-bench: SSH callers\n");
        {
            BenchAdapter rig(s, rig_dir(), relay_port, {"--echo"}, true);
            int connected = 0;
            measure_echo(s, orva_peer(rig, relay_pid, true), ssh, &rig, connected);
        }
        {
            BenchAdapter rig(s, rig_dir(), relay_port, {"--echo", "--bulk", std::to_string(s.bulk_one)}, true);
            ssh.out_one = measure_stream(s, orva_peer(rig, relay_pid, true), 1, s.bulk_one, true, nullptr);
        }
        {
            BenchAdapter rig(s, rig_dir(), relay_port, {"--verify", std::to_string(s.send_one)}, true);
            ssh.in_one = measure_stream(s, orva_peer(rig, relay_pid, true), 1, s.send_one, false, nullptr);
        }
        network.relay->stop();

        // The table.
        const std::string L = std::to_string(s.lines);
        // A target is a fixed limit, or a multiple of ser2net's figure of
        // this same run.
        struct Target {
            std::string text;
            double limit = NAN;
            double times_ser2net = NAN;
            bool higher = false;
        };
        const auto at_most = [](double v, const std::string& text) { return Target{"<= " + text, v, NAN, false}; };
        const auto at_least = [](double v, const std::string& text) { return Target{">= " + text, v, NAN, true}; };
        const auto at_most_s2n = [](double x, const std::string& text) {
            return Target{"<= " + text + "x s2n", NAN, x, false};
        };
        const auto at_least_s2n = [](double x, const std::string& text) {
            return Target{">= " + text + "x s2n", NAN, x, true};
        };
        auto with_target = [](Figure& f, const Target& t) {
            f.target = t.text;
            f.limit = t.limit;
            f.times_ser2net = t.times_ser2net;
            f.higher_is_better = t.higher;
        };
        auto figure = [&](const std::string& key, const std::string& label, const std::string& unit, auto pick,
                          const Target& target = {}) {
            Figure f = make_figure(key, label, unit);
            f.orva = pick(orva);
            if (ser2net)
                f.ser2net = pick(s2n);
            f.direct = pick(direct);
            with_target(f, target);
            report.add(f);
        };
        for (size_t i = 0; i < echo_lines.size(); ++i) {
            const std::string n = std::to_string(echo_lines[i]);
            const bool all = echo_lines[i] == s.lines;
            const bool one = echo_lines[i] == 1;
            figure("echo_p50_" + n, "Echo p50, " + n + " active line(s)", "ms",
                   [i](PeerRun& r) { return i < r.echo.size() ? r.echo[i].p50 : NAN; },
                   all ? at_most_s2n(2, "2") : one ? at_most_s2n(1.5, "1.5") : Target{});
            figure("echo_p99_" + n, "Echo p99, " + n + " active line(s)", "ms",
                   [i](PeerRun& r) { return i < r.echo.size() ? r.echo[i].p99 : NAN; },
                   all ? at_most_s2n(2, "2") : Target{});
            figure("echo_max_" + n, "Echo max, " + n + " active line(s)", "ms",
                   [i](PeerRun& r) { return i < r.echo.size() ? r.echo[i].max : NAN; });
        }
        const double KB = 1024.0;
        figure("out_one", "Board -> caller, one line", "KB/s",
               [&](PeerRun& r) { return r.out_one.line_rate.empty() ? NAN : r.out_one.line_rate[0] / KB; },
               at_least(2048, "2048"));
        figure("out_each_median", "Board -> caller, per line of " + L + " (median)", "KB/s",
               [&](PeerRun& r) { return r.out_all.line_rate.empty() ? NAN : median(r.out_all.line_rate) / KB; });
        figure("out_each_min", "Board -> caller, per line of " + L + " (slowest)", "KB/s",
               [&](PeerRun& r) { return minimum(r.out_all.line_rate) / KB; });
        figure("out_aggregate", "Board -> caller, " + L + " lines together", "KB/s",
               [&](PeerRun& r) { return r.out_all.aggregate_rate ? r.out_all.aggregate_rate / KB : NAN; },
               at_least_s2n(0.5, "0.5"));
        figure("in_one", "Caller -> board, one line", "KB/s",
               [&](PeerRun& r) { return r.in_one.line_rate.empty() ? NAN : r.in_one.line_rate[0] / KB; },
               at_least(2048, "2048"));
        figure("in_each_median", "Caller -> board, per line of " + L + " (median)", "KB/s",
               [&](PeerRun& r) { return r.in_all.line_rate.empty() ? NAN : median(r.in_all.line_rate) / KB; });
        figure("in_aggregate", "Caller -> board, " + L + " lines together", "KB/s",
               [&](PeerRun& r) { return r.in_all.aggregate_rate ? r.in_all.aggregate_rate / KB : NAN; },
               at_least_s2n(0.5, "0.5"));
        struct UsageRow {
            const char* key;
            std::string label;
            StretchUsage PeerRun::*field;
            Target target;
        };
        const std::vector<UsageRow> usage_rows{
            {"idle", "idle, no callers", &PeerRun::idle, at_most(0.5, "0.5")},
            {"idle_callers", L + " connected idle callers", &PeerRun::idle_callers, at_most(2, "2")},
            {"typing", L + " lines typing (echo)", &PeerRun::typing, at_most_s2n(1.5, "1.5")},
            {"streaming_out", L + " lines streaming board -> caller", &PeerRun::streaming_out, {}},
            {"streaming_in", L + " lines streaming caller -> board", &PeerRun::streaming_in, {}},
        };
        for (const UsageRow& u : usage_rows) {
            Figure f = make_figure(std::string("cpu_") + u.key, "CPU, " + u.label, "%core");
            f.orva = (orva.*u.field).peer.core;
            f.ser2net = ser2net ? (s2n.*u.field).peer.core : NAN;
            with_target(f, u.target);
            report.add(f);
        }
        // What the rest of the adapter costs over the same stretches: the
        // simulator and the relay stand in for the board host and the
        // network, so their share is not ORVA's.
        for (const UsageRow& u : usage_rows) {
            Figure f = make_figure(std::string("cpu_board_") + u.key, "CPU of the board simulator, " + u.label,
                                   "%core");
            f.orva = (orva.*u.field).board.core;
            report.add(f);
        }
        for (const UsageRow& u : usage_rows) {
            Figure f = make_figure(std::string("cpu_relay_") + u.key, "CPU of the IPX relay, " + u.label, "%core");
            f.orva = (orva.*u.field).relay.core;
            report.add(f);
        }
        for (const UsageRow& u : usage_rows) {
            Figure f = make_figure(std::string("rss_") + u.key, "RSS, " + u.label, "MB");
            f.orva = (orva.*u.field).peer.rss_mb;
            f.ser2net = ser2net ? (s2n.*u.field).peer.rss_mb : NAN;
            report.add(f);
        }
        {
            Figure f = make_figure("threads_idle_callers", "Threads, " + L + " connected idle callers", "count");
            f.orva = orva.idle_callers.peer.threads;
            f.ser2net = ser2net ? s2n.idle_callers.peer.threads : NAN;
            report.add(f);
        }
        // SSH rows: orva's own Telnet figures of this run are the yardstick.
        {
            const double telnet_p99 = orva.echo.empty() ? NAN : orva.echo.back().p99;
            const EchoFigures none;
            const EchoFigures& e = ssh.echo.empty() ? none : ssh.echo.back();
            const auto orva_only = [&](const std::string& key, const std::string& label, const std::string& unit,
                                       double value, const Target& target) {
                Figure f = make_figure(key, label, unit);
                f.orva = value;
                with_target(f, target);
                report.add(f);
            };
            orva_only("ssh_echo_p50_" + L, "Echo p50, " + L + " active line(s) over SSH", "ms", e.p50, {});
            orva_only("ssh_echo_p99_" + L, "Echo p99, " + L + " active line(s) over SSH", "ms", e.p99,
                      at_most(2 * telnet_p99, "2x Telnet"));
            orva_only("ssh_echo_max_" + L, "Echo max, " + L + " active line(s) over SSH", "ms", e.max, {});
            orva_only("ssh_out_one", "Board -> caller, one line over SSH", "KB/s",
                      ssh.out_one.line_rate.empty() ? NAN : ssh.out_one.line_rate[0] / KB, at_least(2048, "2048"));
            orva_only("ssh_in_one", "Caller -> board, one line over SSH", "KB/s",
                      ssh.in_one.line_rate.empty() ? NAN : ssh.in_one.line_rate[0] / KB, at_least(2048, "2048"));
            orva_only("ssh_cpu_idle_callers", "CPU, " + L + " connected idle callers over SSH", "%core",
                      ssh.idle_callers.peer.core, {});
            orva_only("ssh_cpu_typing", "CPU, " + L + " lines typing (echo) over SSH", "%core", ssh.typing.peer.core,
                      {});
            orva_only("ssh_rss_idle_callers", "RSS, " + L + " connected idle callers over SSH", "MB",
                      ssh.idle_callers.peer.rss_mb, {});
        }
        {
            Figure f = make_figure("refused_per_second", "Callers greeted and refused (no board host)", "/s");
            f.orva = orva.refuse.per_second;
            f.direct = direct.refuse.per_second;
            with_target(f, at_least(5000, "5000"));
            report.add(f);
        }

        // Integrity: every run, every byte.
        auto check = [&](const std::string& key, const std::string& label, const std::string& peer,
                         const StreamResult& r, const std::string& method) {
            IntegrityCheck c{key, label, peer, r.lines, r.intact_lines, r.bytes_expected, r.bytes_in_order,
                             r.bytes_extra, method, r.first_error};
            report.add(c);
        };
        const std::string out_method = "pattern order and exact count, then 0.5 s for strays";
        const std::string in_method = "peer checks pattern order and count, answers; 0.5 s for more";
        // Keystrokes: each echo must be the byte typed.
        auto keystrokes = [](const PeerRun& run) {
            StreamResult keys;
            for (size_t i = 0; i < run.echo.size() && i < run.echo_lines.size(); ++i) {
                const EchoFigures& e = run.echo[i];
                keys.lines += run.echo_lines[i];
                keys.bytes_in_order += e.samples;
                keys.bytes_expected += e.samples + e.unanswered;
                keys.bytes_extra += e.wrong;
                if (e.wrong == 0 && e.unanswered == 0)
                    keys.intact_lines += run.echo_lines[i];
                else if (keys.first_error.empty())
                    keys.first_error = std::to_string(e.unanswered) + " keystrokes unanswered, " +
                                       std::to_string(e.wrong) + " wrong bytes with " +
                                       std::to_string(run.echo_lines[i]) + " lines";
            }
            return keys;
        };
        check("out_one_orva_ssh", "Board -> caller, one line over SSH", "orva", ssh.out_one, out_method);
        check("in_one_orva_ssh", "Caller -> board, one line over SSH (board checks)", "orva", ssh.in_one, in_method);
        check("echo_orva_ssh", "Keystroke echo over SSH", "orva", keystrokes(ssh), "each echo is the byte typed");
        for (auto [name, run] : {std::pair{"orva", &orva}, std::pair{"ser2net", &s2n}, std::pair{"direct", &direct}}) {
            if (std::string(name) == "ser2net" && !ser2net)
                continue;
            check(std::string("out_one_") + name, "Board -> caller, one line", name, run->out_one, out_method);
            check(std::string("out_all_") + name, "Board -> caller, " + L + " lines", name, run->out_all, out_method);
            check(std::string("in_one_") + name, "Caller -> board, one line (board checks)", name, run->in_one,
                  in_method);
            check(std::string("in_all_") + name, "Caller -> board, " + L + " lines (board checks)", name,
                  run->in_all, in_method);
            check(std::string("echo_") + name, "Keystroke echo, all runs", name, keystrokes(*run),
                  "each echo is the byte typed");
            RefuseResult& f = run->refuse;
            if (run->refuse_run) {
                StreamResult calls;
                calls.lines = static_cast<int>(f.calls);
                calls.intact_lines = static_cast<int>(f.right);
                calls.first_error = f.first_error;
                check(std::string("refused_") + name, "Refused callers, text then close", name, calls,
                      "exact greeting and refusal, then the close");
            }
        }
        report.note("machine", machine_text());
        report.note("load average before the run", load_before);
        report.note("date", today());
        report.note("run", s.quick ? "quick (smoke sizes)" : "full");
        report.note("sizes", "lines " + L + ", keystrokes " + std::to_string(s.echo_samples_one) + " on one line, " +
                                 std::to_string(s.echo_samples_many) + " per line otherwise, pause " +
                                 std::to_string(s.pause_min_ms) + "-" + std::to_string(s.pause_max_ms) +
                                 " ms; board -> caller " + std::to_string(s.bulk_one) + " B one line, " +
                                 std::to_string(s.bulk_each) + " B per line; caller -> board " +
                                 std::to_string(s.send_one) + " B one line, " + std::to_string(s.send_each) +
                                 " B per line; " + "refused callers for up to " + std::to_string(s.refuse_ms / 1000) + " s, " +
                                 std::to_string(s.refuse_concurrency) + " at a time");
        report.note("units", "KB = 1024 bytes; %core = CPU seconds per wall second x 100; MB = 1024 KB");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orva-bench: %s\n", e.what());
        report.note("error", e.what());
        status = 1;
    }
    report.print(stdout);
    std::fflush(stdout);
    if (!report.write_json(s.json)) {
        std::fprintf(stderr, "orva-bench: cannot write %s\n", s.json.c_str());
        status = 1;
    }
    if (status == 0 && !report.all_intact())
        status = 3;
    if (s.keep)
        std::fprintf(stderr, "orva-bench: output of every program kept in %s\n", work.c_str());
    else
        std::filesystem::remove_all(work);
    return status;
}
