// The simulator's board against real BoardLinks, datagrams carried by hand.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>

#include "link/board_link.h"
#include "tests/support/knet_packets.h"
#include "tools/board_sim/board_host.h"
#include "tools/board_sim/board_options.h"
#include "tools/board_sim/pattern_check.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

struct Caller {
    BoardLink link;
    IpxAddress address;
    std::string received;
};

class BoardHostTest : public testing::Test {
protected:
    // Resending and dropping repeats on both sides, as on a lossy tunnel.
    void recovery(BoardOptions& o)
    {
        o.resend_ms = 250;
        o.drop_repeats = true;
        link_settings.resend_ms = 500;
        link_settings.drop_repeats = true;
    }

    void start(BoardOptions o)
    {
        options = o;
        host = std::make_unique<BoardHost>(options);
        CaptureStdout();
    }
    void TearDown() override { trace = GetCapturedStdout(); }

    Caller& call()
    {
        callers.push_back(std::make_unique<Caller>());
        Caller& c = *callers.back();
        c.address.node[5] = static_cast<uint8_t>(callers.size());
        c.address.socket = static_cast<uint16_t>(0x4000 + callers.size());
        c.link.use_settings(link_settings);
        c.link.prepare_for_testing();
        c.link.request_connection("KELB");
        return c;
    }

    // A call the board has given line 1, its first.
    Caller& call_on_line_one()
    {
        Caller& c = call();
        EXPECT_TRUE(rounds_until([&] { return c.link.line == 1; }));
        return c;
    }

    // One round: every caller's queued packets to the board, one board pass,
    // the board's datagrams back to their callers.
    void round()
    {
        now += 1;
        for (auto& c : callers) {
            c->link.send_from_caller();
            c->link.tick(now);
            support::knet_bytes::Bytes all(65536);
            all.resize(c->link.copy_send_queue(all.data(), static_cast<int>(all.size())));
            c->link.clear_send_queue();
            for (const auto& p : support::knet_bytes::split(all))
                host->handle_datagram(c->address, p.data(), static_cast<int>(p.size()), now);
        }
        host->poll(now);
        for (auto& [to, bytes] : host->take_outgoing())
            for (auto& c : callers)
                if (c->address == to)
                    c->link.handle_datagram(bytes.data(), static_cast<int>(bytes.size()));
        for (auto& c : callers) {
            MutexHold hold(c->link.to_caller_lock);
            ByteQueue* q = c->link.to_caller();
            c->received.append(reinterpret_cast<const char*>(q->head()), q->size());
            q->clear();
        }
    }

    bool rounds_until(const std::function<bool()>& done, int limit = 2000)
    {
        for (int i = 0; i < limit; ++i) {
            if (done())
                return true;
            round();
        }
        return done();
    }

    void type(Caller& c, const std::string& s)
    {
        c.link.append_from_caller(reinterpret_cast<const uint8_t*>(s.data()), static_cast<int>(s.size()));
    }

    BoardOptions options;
    BoardSettings link_settings;
    std::unique_ptr<BoardHost> host;
    std::vector<std::unique_ptr<Caller>> callers;
    uint64_t now = 1000;
    std::string trace;
};

bool has(const std::string& hay, const std::string& needle)
{
    return hay.find(needle) != std::string::npos;
}

}

TEST_F(BoardHostTest, CallerGetsLineBannerAndMenuAndGoodbyeEndsTheCircuitFromTheBoard)
{
    start(BoardOptions{});
    Caller& c = call();
    ASSERT_TRUE(rounds_until([&] { return has(c.received, "> "); }));
    EXPECT_TRUE(has(c.received, "Connected to KELB line 1\r\n"));
    EXPECT_TRUE(has(c.received, "line 1."));
    EXPECT_EQ(c.link.line, 1);

    type(c, "w");
    ASSERT_TRUE(rounds_until([&] { return has(c.received, "Line 4: free"); }));
    EXPECT_TRUE(has(c.received, "Line 1: 00000000:000000000001:4001"));
    type(c, "t");
    ASSERT_TRUE(rounds_until([&] { return has(c.received, "Board time: "); }));
    type(c, "e");
    type(c, "abc\x1b");
    ASSERT_TRUE(rounds_until([&] { return has(c.received, "abc\r\n[E]cho"); }));

    type(c, "g");
    ASSERT_TRUE(rounds_until([&] { return c.link.circuit == NoCircuit; }));
    EXPECT_TRUE(has(c.received, "Goodbye from line 1.\r\n"));
    EXPECT_EQ(host->active_lines(), 0);
    // The link's answer to the board's disconnect is for a line now gone.
    round();
    round();
    EXPECT_EQ(host->active_lines(), 0);
    EXPECT_TRUE(has(GetCapturedStdout(), "KNET: Disconnected Line 1\n"));
    CaptureStdout();
}

TEST_F(BoardHostTest, LineZeroWhenAllLinesAreTakenAndCallerDisconnectFreesALine)
{
    BoardOptions o;
    o.lines = 2;
    start(o);
    Caller& a = call();
    Caller& b = call();
    Caller& c = call();
    ASSERT_TRUE(rounds_until([&] { return c.link.circuit == NoCircuit; }));
    EXPECT_EQ(c.received, "KELB is currently busy, please call back again later.\r\n");
    EXPECT_EQ(a.link.line, 1);
    EXPECT_EQ(b.link.line, 2);
    EXPECT_EQ(host->active_lines(), 2);

    // The caller's request to end the circuit is answered and frees line 1.
    a.link.send_control(0x00, 0);
    ASSERT_TRUE(rounds_until([&] { return a.link.circuit == NoCircuit; }));
    EXPECT_EQ(host->active_lines(), 1);
    Caller& d = call();
    ASSERT_TRUE(rounds_until([&] { return d.link.line == 1; }));
    // A stale disconnect for line 1 from the old caller leaves the new one on.
    a.link.circuit = 1;
    a.link.send_control(0x00, 0);
    round();
    round();
    EXPECT_EQ(host->active_lines(), 2);
    EXPECT_NE(d.link.circuit, NoCircuit);
}

TEST_F(BoardHostTest, BusySwitchRefusesEveryCall)
{
    BoardOptions o;
    o.busy = true;
    start(o);
    Caller& c = call();
    ASSERT_TRUE(rounds_until([&] { return c.link.circuit == NoCircuit; }));
    EXPECT_EQ(c.received, "KELB is currently busy, please call back again later.\r\n");
}

TEST_F(BoardHostTest, EchoModeReturnsEveryByteInOrder)
{
    BoardOptions o;
    o.echo_only = true;
    start(o);
    Caller& c = call_on_line_one();
    c.received.clear();
    std::string sent;
    for (int i = 0; i < 3000; ++i)
        sent.push_back(static_cast<char>(i * 7));
    type(c, sent);
    ASSERT_TRUE(rounds_until([&] { return c.received.size() >= sent.size(); }));
    EXPECT_EQ(c.received, sent);
}

TEST_F(BoardHostTest, BulkOutputWithDuplicatesReachesTheCallerOnce)
{
    BoardOptions o;
    recovery(o);
    o.echo_only = true;
    o.bulk_bytes = 2000;
    o.duplicate_every = 2;
    start(o);
    Caller& c = call();
    const std::string prefix = "Connected to KELB line 1\r\n";
    std::string bulk;
    for (int i = 0; i < 2000; ++i)
        bulk.push_back(static_cast<char>('0' + i % 64));
    // 2000 bytes in 4 packets; packets 2 and 4 arrive twice, and are taken once.
    ASSERT_TRUE(rounds_until([&] { return c.received.size() >= prefix.size() + 2000; }));
    for (int i = 0; i < 20; ++i)
        round();
    EXPECT_EQ(c.received, prefix + bulk);
    const std::string trace = GetCapturedStdout();
    size_t repeats = 0;
    for (size_t at = trace.find("repeated Data dropped"); at != std::string::npos;
         at = trace.find("repeated Data dropped", at + 1))
        ++repeats;
    EXPECT_EQ(repeats, 2u);
    CaptureStdout();
}

TEST_F(BoardHostTest, VerifyAnswersWithWhatArrivedOnEachLine)
{
    BoardOptions o;
    o.lines = 96;
    o.verify_bytes = 1500;
    start(o);
    // Every line of a full board: the last one too.
    for (int n = 0; n < 96; ++n)
        call();
    ASSERT_TRUE(rounds_until([&] { return callers.back()->link.line == 96; }));

    Caller& good = *callers[0];
    Caller& wrong = *callers[1];
    Caller& extra = *callers[95];
    std::string pattern;
    for (long i = 0; i < 1500; ++i)
        pattern.push_back(PatternCheck::byte_at(i));
    for (Caller* c : {&good, &wrong, &extra})
        c->received.clear();
    type(good, pattern);
    std::string broken = pattern;
    broken[700] = 'x';
    type(wrong, broken);
    type(extra, pattern + "zz");
    ASSERT_TRUE(rounds_until([&] {
        return has(good.received, "\r\n") && has(wrong.received, "\r\n") && has(extra.received, "\r\nMore");
    }));
    for (int i = 0; i < 20; ++i)
        round();
    EXPECT_EQ(good.received, "Verified 1500 bytes in order.\r\n");
    EXPECT_EQ(wrong.received, "Byte 701 is 0x78, expected 0x6C.\r\n");
    EXPECT_EQ(extra.received, "Verified 1500 bytes in order.\r\nMore than 1500 bytes.\r\n");
}

TEST_F(BoardHostTest, NackedDataGoesAgainAndArrivesOnce)
{
    BoardOptions o;
    recovery(o);
    o.echo_only = true;
    o.nack_every = 2;
    start(o);
    Caller& c = call_on_line_one();
    type(c, "one");
    ASSERT_TRUE(rounds_until([&] { return has(c.received, "one"); }));
    type(c, "two");
    type(c, "three");
    ASSERT_TRUE(rounds_until([&] { return has(c.received, "three"); }));
    EXPECT_EQ(c.received, "Connected to KELB line 1\r\nonetwothree");
    const std::string trace = GetCapturedStdout();
    EXPECT_TRUE(has(trace, "NACK for 2, reason 1\n"));
    EXPECT_TRUE(has(trace, "Seq: 2, DATA, Size: 8, sent again\n"));
    CaptureStdout();
}

TEST_F(BoardHostTest, LostAcksAndLostDataAreRecoveredWithoutRepeats)
{
    BoardOptions o;
    recovery(o);
    o.echo_only = true;
    o.drop_every = 3; // the board loses every third packet it receives
    start(o);
    Caller& c = call_on_line_one();
    std::string want;
    for (int i = 0; i < 40; ++i) {
        std::string piece = "<" + std::to_string(i) + ">";
        want += piece;
        type(c, piece);
        ASSERT_TRUE(rounds_until([&] { return has(c.received, piece); }, 5000)) << i;
    }
    EXPECT_EQ(c.received, "Connected to KELB line 1\r\n" + want);
}

TEST_F(BoardHostTest, NotReadyHoldsCallerDataUntilTheReadyBitReturns)
{
    BoardOptions o;
    o.echo_only = true;
    o.not_ready_ms = 100;
    start(o);
    Caller& c = call_on_line_one();
    type(c, "held");
    round();
    round();
    EXPECT_FALSE(c.link.peer_ready);
    EXPECT_EQ(c.link.from_caller_size(), 4);
    ASSERT_TRUE(rounds_until([&] { return has(c.received, "held"); }));
    EXPECT_GE(now, 1100u);
    EXPECT_TRUE(c.link.peer_ready);
}

TEST_F(BoardHostTest, HangupSwitchEndsTheCircuitAfterItsTime)
{
    BoardOptions o;
    o.hangup_after_ms = 50;
    start(o);
    Caller& c = call();
    ASSERT_TRUE(rounds_until([&] { return c.link.circuit == NoCircuit; }));
    EXPECT_GE(now, 1050u);
    EXPECT_TRUE(has(c.received, "Time is up."));
}

TEST_F(BoardHostTest, DroppedPacketsAreRecoveredByTheBoardsResend)
{
    BoardOptions o;
    recovery(o);
    o.echo_only = true;
    o.bulk_bytes = 1500;
    o.drop_every = 4;
    start(o);
    Caller& c = call_on_line_one();
    // Every board packet arrives at least once; lost Acks bring repeats.
    ASSERT_TRUE(rounds_until([&] { return c.received.size() >= 26 + 1500; }));
    EXPECT_EQ(c.received.substr(26, 64), std::string("0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmno"));
}

TEST_F(BoardHostTest, DiscardTakesEveryByteAndAnswersOnlyWithAcks)
{
    BoardOptions o;
    o.discard = true;
    start(o);
    Caller& c = call_on_line_one();
    type(c, std::string(1500, 'd'));
    ASSERT_TRUE(rounds_until([&] { return c.link.from_caller_size() == 0 && !c.link.awaiting_ack; }));
    EXPECT_EQ(c.received, "Connected to KELB line 1\r\n");
}

TEST_F(BoardHostTest, SilentBoardAnswersNothing)
{
    BoardOptions o;
    o.silent = true;
    start(o);
    Caller& c = call();
    for (int i = 0; i < 10; ++i)
        round();
    EXPECT_EQ(c.link.circuit, 0);
    EXPECT_TRUE(c.received.empty());
    EXPECT_EQ(host->active_lines(), 0);
}

// A hostile or broken adapter: random and cut datagrams never crash the
// board, and a caller already on a line keeps it.
TEST_F(BoardHostTest, RandomDatagramsLeaveTheBoardWorking)
{
    BoardOptions o;
    o.echo_only = true;
    start(o);
    Caller& c = call_on_line_one();
    std::mt19937 random(777);
    IpxAddress stranger;
    stranger.socket = 0x7777;
    for (int i = 0; i < 3000; ++i) {
        std::vector<uint8_t> d(1 + random() % 40);
        for (uint8_t& b : d)
            b = static_cast<uint8_t>(random());
        if (d.size() >= 8) {
            d[0] = 0;
            d[1] = static_cast<uint8_t>(random() % (d.size() - 4));
            d[4] = static_cast<uint8_t>(random() % 7);
            d[5] = static_cast<uint8_t>(random() % 6);
        }
        std::unique_ptr<uint8_t[]> exact(new uint8_t[d.size()]);
        std::copy(d.begin(), d.end(), exact.get());
        host->handle_datagram(stranger, exact.get(), static_cast<int>(d.size()), now);
    }
    host->poll(now);
    host->take_outgoing();
    EXPECT_LE(host->active_lines(), 4);
    type(c, "still here");
    ASSERT_TRUE(rounds_until([&] { return has(c.received, "still here"); }));
}

TEST(BoardOptions, ParsesSwitchesAndRejectsBadValues)
{
    BoardOptions o;
    std::string error;
    ASSERT_EQ(parse_board_options({"--relay", "127.0.0.1:7000", "--lines", "8", "--socket", "0x8104", "--drop",
                                   "3", "--bulk", "100000", "--echo"},
                                  o, error),
              0)
        << error;
    EXPECT_EQ(o.server_ip, "127.0.0.1");
    EXPECT_EQ(o.server_port, 7000);
    EXPECT_EQ(o.lines, 8);
    EXPECT_EQ(o.socket_number, 0x8104);
    EXPECT_EQ(o.drop_every, 3);
    EXPECT_EQ(o.bulk_bytes, 100000);
    EXPECT_TRUE(o.echo_only);
    BoardOptions full;
    ASSERT_EQ(parse_board_options({"--lines", "96", "--verify", "4096"}, full, error), 0) << error;
    EXPECT_EQ(full.lines, 96);
    EXPECT_EQ(full.verify_bytes, 4096);

    const std::vector<std::vector<std::string>> bad = {
        {"--lines", "0"}, {"--lines", "97"}, {"--verify", "0"}, {"--relay", "nowhere"}, {"--port", "70000"},
        {"--drop"},       {"--nack", "x"},   {"--frobnicate"},
    };
    for (const auto& args : bad) {
        BoardOptions b;
        error.clear();
        EXPECT_EQ(parse_board_options(args, b, error), -1) << args[0];
        EXPECT_FALSE(error.empty());
    }
    EXPECT_NE(board_usage().find("--not-ready MS"), std::string::npos);
}

// Every option --help names is taken, with a value of the kind it names,
// and changes what it parses to; each that names a value asks for it.
TEST(BoardOptions, EveryOptionInTheHelpIsTakenAndHasAnEffect)
{
    // Each value is in range for every option that takes its kind, and no
    // option's default.
    const std::map<std::string, std::string> sample = {
        {"ADDR:PORT", "10.0.0.2:7000"}, {"ADDR", "10.0.0.2"}, {"PORT", "7000"},
        {"NAME", "BBS"},                {"N", "16"},          {"MS", "100"},
    };
    std::istringstream help(board_usage());
    int seen = 0;
    for (std::string line; std::getline(help, line);) {
        if (line.rfind("  -", 0) != 0)
            continue;
        std::istringstream words(line);
        std::string name, value;
        words >> name >> value;
        std::vector<std::string> args = {name};
        const bool takes_value = value.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ:") == std::string::npos;
        if (takes_value) {
            ASSERT_TRUE(sample.count(value)) << line;
            args.push_back(sample.at(value));
        }
        ++seen;
        BoardOptions parsed;
        std::string error;
        ASSERT_EQ(parse_board_options(args, parsed, error), 0) << line << ": " << error;
        EXPECT_FALSE(parsed == BoardOptions{}) << name << " changed nothing";
        if (takes_value) {
            BoardOptions b;
            EXPECT_EQ(parse_board_options({name}, b, error), -1) << name;
            EXPECT_EQ(error, name + " needs a value");
        }
    }
    EXPECT_EQ(seen, 25);
    BoardOptions short_help;
    std::string error;
    ASSERT_EQ(parse_board_options({"-h"}, short_help, error), 0);
    EXPECT_TRUE(short_help.help);
}

// The simulator sleeps until poll's answer unless a datagram comes first, so
// every timer must be in it: a missing one is a timer that never fires.
TEST_F(BoardHostTest, PollAnswersWithTheNextTimerDue)
{
    BoardOptions o;
    o.echo_only = true;
    o.bulk_bytes = 600;
    o.resend_ms = 250;
    o.not_ready_ms = 400;
    o.hangup_after_ms = 1000;
    start(o);
    EXPECT_EQ(host->poll(now), BOARD_NOTHING_DUE);
    Caller& c = call();
    round();
    ASSERT_EQ(host->active_lines(), 1);
    const uint64_t connected = now;
    EXPECT_EQ(host->poll(now), connected + 250) << "the first 512 bytes wait for their Ack";
    std::string bulk;
    for (int i = 0; i < 600; ++i)
        bulk.push_back(PatternCheck::byte_at(i));
    ASSERT_TRUE(rounds_until([&] { return has(c.received, bulk); }, 20));
    round();  // the Ack of the last piece reaches the board
    EXPECT_EQ(host->poll(now), connected + 400) << "the ready bit comes back next";
    EXPECT_EQ(host->poll(connected + 400), connected + 1000) << "then the hang-up";
    EXPECT_EQ(host->poll(connected + 1000), connected + 1250) << "whose goodbye waits for its Ack";
}
