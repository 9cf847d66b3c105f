#include <deque>

#include "console/console_input.h"
#include "console/status_pages.h"
#include "screen_fixture.h"

namespace {
// A terminal stand-in: keys to hand out, a settable clock, and a record of
// what was shown.
struct FakeTerminal {
    bool usable = true;
    int opens = 0;
    int closes = 0;
    int shows = 0;
    const TerminalCell* last_shown = nullptr;
    std::deque<TerminalKey> keys;
    int64_t now = 1000;
};
FakeTerminal fake;

ConsoleBackend fake_backend()
{
    return ConsoleBackend{
        [](const char** reason) {
            ++fake.opens;
            if (fake.usable)
                return 0;
            *reason = "standard output is not a terminal";
            return -1;
        },
        [](const TerminalCell* cells) {
            ++fake.shows;
            fake.last_shown = cells;
        },
        [] {
            if (fake.keys.empty())
                return TerminalKey::None;
            TerminalKey key = fake.keys.front();
            fake.keys.pop_front();
            return key;
        },
        [] { ++fake.closes; },
        [] { return fake.now; },
    };
}

const TerminalCell* cells_of(const ScreenBuffer& buffer)
{
    return &buffer.cells[0][0];
}
}

class ConsolePoll : public ScreenTest {
protected:
    void SetUp() override
    {
        ScreenTest::SetUp();
        saved_ = console_screen.backend;
        fake = FakeTerminal{};
        console_screen.backend = fake_backend();
    }
    void TearDown() override
    {
        console_shutdown();
        console_screen.backend = saved_;
        ScreenTest::TearDown();
    }
    static std::string shown_text(int column, int row, int length)
    {
        std::string s;
        for (int i = 0; i < length; ++i)
            s += char(console_screen.shown->at(column + i, row).byte);
        return s;
    }

    ConsoleBackend saved_;
};

TEST_F(ConsolePoll, InitDrawsBothBuffersAndShowsB)
{
    stats_board.update([&](StatusFigures& f) { f.total_connections = 77; });
    EXPECT_EQ(console_init(false), 0);
    EXPECT_EQ(fake.opens, 1);
    EXPECT_EQ(fake.shows, 2);
    EXPECT_EQ(console_screen.current, &console_screen.buffer_b);
    EXPECT_EQ(fake.last_shown, cells_of(console_screen.buffer_b));
    for (const ScreenBuffer* b : {&console_screen.buffer_a, &console_screen.buffer_b})
        EXPECT_EQ(b->at(2, 17).byte, 'T');
    EXPECT_EQ(console_screen.ticks_per_ms, 1000000u);
    EXPECT_EQ(console_screen.last_refresh_time, 0);
    // The board keeps what was posted before the console started.
    EXPECT_EQ(stats_board.figures().total_connections, 77);
}

TEST_F(ConsolePoll, RefreshesOncePerSecondAlternatingBuffers)
{
    console_init(false);
    stats_board.update([&](StatusFigures& f) { f.poll_ticks = 40000000; });
    console_poll();
    EXPECT_EQ(fake.shows, 3);
    EXPECT_EQ(fake.last_shown, cells_of(console_screen.buffer_a));
    // The 40 ms dispatcher poll over the one console poll of this refresh.
    EXPECT_EQ(shown_text(70, 2, 4), "  40");
    EXPECT_EQ(console_screen.poll_count, 0u);

    console_poll();
    console_poll();
    EXPECT_EQ(fake.shows, 3);
    EXPECT_EQ(console_screen.poll_count, 2u);

    fake.now += 1;
    console_poll();
    EXPECT_EQ(fake.shows, 4);
    EXPECT_EQ(fake.last_shown, cells_of(console_screen.buffer_b));
    // Three console polls since the last refresh share the 40 ms.
    EXPECT_EQ(shown_text(70, 2, 4), "  13");
    fake.now += 5;
    console_poll();
    EXPECT_EQ(fake.shows, 5);
    EXPECT_EQ(fake.last_shown, cells_of(console_screen.buffer_a));
}

TEST_F(ConsolePoll, FirstRefreshShowsZeroResponse)
{
    console_init(false);
    console_poll();
    EXPECT_EQ(shown_text(70, 2, 4), "   0");
    EXPECT_EQ(shown_text(59, 17, 6), "[None]");
}

TEST_F(ConsolePoll, F3StopsAndShowsTheNoticeInTheSamePoll)
{
    console_init(false);
    console_poll();
    EXPECT_EQ(fake.shows, 3);
    fake.keys = {TerminalKey::Other, TerminalKey::F3};
    console_poll();  // same second: only the key forces the refresh
    EXPECT_FALSE(running_flag.get());
    EXPECT_EQ(fake.shows, 4);
    EXPECT_EQ(shown_text(27, 24, 25), "ORVA is shutting down ...");
}

TEST_F(ConsolePoll, ModifiedKeyEndsThePollWithoutDrawing)
{
    console_init(false);
    console_poll();
    uint64_t polls = console_screen.poll_count;
    fake.now += 1;
    // Shift+F3 or Ctrl+F3, then a plain F3 that waits for the next poll.
    fake.keys = {TerminalKey::Other, TerminalKey::Modified, TerminalKey::F3};
    console_poll();
    EXPECT_TRUE(running_flag.get());
    EXPECT_EQ(fake.shows, 3);
    EXPECT_EQ(console_screen.poll_count, polls);
    ASSERT_EQ(fake.keys.size(), 1u);

    fake.keys = {TerminalKey::Modified};
    console_poll();
    EXPECT_TRUE(running_flag.get());
    EXPECT_EQ(fake.shows, 3);

    console_poll();
    EXPECT_EQ(fake.shows, 4);
    EXPECT_TRUE(running_flag.get());
}

TEST_F(ConsolePoll, AKeyFloodDoesNotHoldThePoll)
{
    console_init(false);
    fake.keys.assign(10000, TerminalKey::Other);
    console_poll();
    EXPECT_EQ(fake.shows, 3);
    EXPECT_GT(fake.keys.size(), 9000u);
}

TEST_F(ConsolePoll, DebugModeShowsNothing)
{
    console_init(true);
    fake.keys = {TerminalKey::F3};
    console_poll();
    fake.now += 1;
    console_poll();
    EXPECT_EQ(fake.opens, 0);
    EXPECT_EQ(fake.shows, 0);
    EXPECT_TRUE(running_flag.get());
    console_shutdown();
    EXPECT_EQ(fake.closes, 0);
}

TEST_F(ConsolePoll, NoTerminalRunsAsDebugAndSaysSoOnce)
{
    fake.usable = false;
    testing::internal::CaptureStdout();
    console_init(false);
    console_poll();
    fake.now += 1;
    console_poll();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "No usable terminal (standard output is not a terminal): "
                   "running without the status display, as with -d\n");
    EXPECT_EQ(fake.shows, 0);
    console_shutdown();
    EXPECT_EQ(fake.closes, 0);
}

TEST_F(ConsolePoll, ShutdownClosesOnce)
{
    console_init(false);
    console_shutdown();
    console_shutdown();
    EXPECT_EQ(fake.closes, 1);
    console_poll();
    EXPECT_EQ(fake.shows, 2);
}
