// The terminal backend on a pseudo-terminal: what reaches the terminal for
// hostile names, and what the function keys mean.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "port/terminal.h"
#include "tests/support/wait_until.h"

using namespace std::chrono_literals;

namespace {

std::string utf8(uint32_t c)
{
    std::string s;
    if (c < 0x80) {
        s += char(c);
    } else if (c < 0x800) {
        s += char(0xC0 | (c >> 6));
        s += char(0x80 | (c & 0x3F));
    } else {
        s += char(0xE0 | (c >> 12));
        s += char(0x80 | ((c >> 6) & 0x3F));
        s += char(0x80 | (c & 0x3F));
    }
    return s;
}

// A pseudo-terminal of 80x25 whose output is collected by a reader thread,
// so ncurses never blocks on a full buffer.
class Pty {
public:
    Pty()
    {
        struct winsize size{};
        size.ws_row = 25;
        size.ws_col = 80;
        if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0)
            return;
        reader_ = std::thread([this] {
            char buffer[4096];
            while (!stop_) {
                if (paused_) {
                    ::poll(nullptr, 0, 10); // a terminal that takes nothing
                    continue;
                }
                struct pollfd p{master_, POLLIN, 0};
                if (::poll(&p, 1, 10) <= 0)
                    continue;
                ssize_t n = read(master_, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                std::lock_guard<std::mutex> hold(lock_);
                output_.append(buffer, size_t(n));
            }
        });
    }
    ~Pty()
    {
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
        if (slave_ >= 0)
            close(slave_);
        if (master_ >= 0)
            close(master_);
    }
    bool ok() const { return master_ >= 0; }
    void pause_reading(bool paused) { paused_ = paused; }
    int slave() const { return slave_; }
    void type(const std::string& keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }
    std::string output()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return output_;
    }
    bool wait_for_output(const std::string& text)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            if (output().find(text) != std::string::npos)
                return true;
            std::this_thread::yield();
        }
        return false;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> paused_{false};
    std::mutex lock_;
    std::string output_;
};

class TerminalOnPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty_.ok());
        unsetenv("LC_ALL");
        setenv("LC_CTYPE", "C.UTF-8", 1);
        const char* reason = "";
        ASSERT_EQ(terminal_open_on(pty_.slave(), pty_.slave(), "xterm-256color", &reason), 0) << reason;
    }
    void TearDown() override { terminal_close(); }

    // The next key, waiting (with a deadline) for the typed bytes to arrive.
    TerminalKey next_key()
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            TerminalKey key = terminal_read_key();
            if (key != TerminalKey::None)
                return key;
            std::this_thread::yield();
        }
        return TerminalKey::None;
    }

    Pty pty_;
};
}

TEST(Cp437Glyphs, NoByteBecomesAControlCharacter)
{
    for (int byte = 0; byte < 256; ++byte) {
        uint32_t glyph = cp437_glyph(uint8_t(byte));
        EXPECT_GE(glyph, 0x20u) << byte;
        EXPECT_FALSE(glyph >= 0x7F && glyph < 0xA0) << byte;
    }
    EXPECT_EQ(cp437_glyph(0xDB), 0x2588u);
    EXPECT_EQ(cp437_glyph(0xDF), 0x2580u);
    EXPECT_EQ(cp437_glyph(0xB3), 0x2502u);
    EXPECT_EQ(cp437_glyph(0xFA), 0x00B7u);
    EXPECT_EQ(cp437_glyph(0x16), 0x25ACu);
    EXPECT_EQ(cp437_glyph(0x01), 0x263Au);
    EXPECT_EQ(cp437_glyph(0x18), 0x2191u);
    EXPECT_EQ(cp437_glyph(0x1B), 0x2190u);
    EXPECT_EQ(cp437_glyph('A'), uint32_t('A'));
}

TEST_F(TerminalOnPty, HostileNamesShowAsGlyphs)
{
    TerminalCell cells[TERMINAL_ROWS * TERMINAL_COLUMNS];
    for (auto& cell : cells)
        cell = TerminalCell{' ', 0x07};
    // A caller name that tries to retitle the window, clear the screen,
    // ring the bell and use an 8-bit CSI.
    const std::string hostile = "\x1b]2;PWNED\x07\x1b[2J\x9b" "31m\x0d\x0a\x08";
    for (size_t i = 0; i < hostile.size(); ++i)
        cells[8 * TERMINAL_COLUMNS + 5 + i] = TerminalCell{uint8_t(hostile[i]), 0x1F};
    terminal_show(cells);

    std::string expected;
    for (char c : hostile)
        expected += utf8(cp437_glyph(uint8_t(c)));
    ASSERT_TRUE(pty_.wait_for_output(expected)) << pty_.output();
    std::string out = pty_.output();
    // Take out ncurses' own colour reset (ends in a bell) and screen clear.
    for (const std::string own : {"\x1b]104\x07", "\x1b[H\x1b[2J"})
        for (size_t at; (at = out.find(own)) != std::string::npos;)
            out.erase(at, own.size());
    EXPECT_EQ(out.find("\x1b]2;PWNED"), std::string::npos);
    EXPECT_EQ(out.find('\x07'), std::string::npos);
    EXPECT_EQ(out.find("\x1b[2J"), std::string::npos);
    EXPECT_EQ(out.find("\x9b" "31m"), std::string::npos);
    EXPECT_EQ(out.find("\xc2\x9b"), std::string::npos);
}

TEST_F(TerminalOnPty, FunctionKeysAndModifiers)
{
    pty_.type("\x1bOR");        // F3
    EXPECT_EQ(next_key(), TerminalKey::F3);
    pty_.type("\x1b[1;2R");     // Shift+F3
    EXPECT_EQ(next_key(), TerminalKey::Modified);
    pty_.type("\x1b[1;5R");     // Ctrl+F3
    EXPECT_EQ(next_key(), TerminalKey::Modified);
    pty_.type("\x1b[1;3R");     // Alt+F3
    EXPECT_EQ(next_key(), TerminalKey::Modified);
    pty_.type("\x1bOP");        // F1 does nothing
    EXPECT_EQ(next_key(), TerminalKey::Other);
    pty_.type("x");
    EXPECT_EQ(next_key(), TerminalKey::Other);
    pty_.type("\x18");          // Ctrl+X
    EXPECT_EQ(next_key(), TerminalKey::Modified);
    pty_.type("\x1bx");         // Alt+X
    EXPECT_EQ(next_key(), TerminalKey::Modified);
    pty_.type("\x1b\x1bOR");    // Esc, then F3 before the Escape was read
    EXPECT_EQ(next_key(), TerminalKey::Other);
    EXPECT_EQ(next_key(), TerminalKey::F3);
    EXPECT_EQ(terminal_read_key(), TerminalKey::None);
}

// A terminal that stops taking output holds up no draw: pages that come
// meanwhile are skipped, and the last one is drawn once it takes output again.
TEST_F(TerminalOnPty, TerminalThatStopsReadingNeverBlocksADraw)
{
    pty_.pause_reading(true);
    std::vector<TerminalCell> cells(TERMINAL_ROWS * TERMINAL_COLUMNS);
    std::atomic<bool> drawn{false};
    std::thread drawer([&] {
        // Each page changes every cell: far more than the terminal buffers.
        for (int page = 0; page < 200; ++page) {
            for (size_t i = 0; i < cells.size(); ++i)
                cells[i] = TerminalCell{uint8_t('A' + (size_t(page) + i) % 26), 0x07};
            const std::string label = page == 199 ? "last page" : "page " + std::to_string(page) + ".";
            for (size_t i = 0; i < label.size(); ++i)
                cells[i].byte = uint8_t(label[i]);
            terminal_show(cells.data());
            terminal_read_key();
        }
        drawn = true;
    });
    const bool in_time = support::wait_until([&] { return drawn.load(); }, 10s);
    pty_.pause_reading(false);
    drawer.join();
    EXPECT_TRUE(in_time);
    EXPECT_TRUE(support::wait_until([&] {
        terminal_read_key();
        return pty_.output().find("last") != std::string::npos;
    }));
}

TEST(TerminalOutsideUtf8, LineDrawingAndNoEightBitBytes)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    unsetenv("LC_ALL");
    setenv("LC_CTYPE", "C", 1);
    const char* reason = "";
    ASSERT_EQ(terminal_open_on(pty.slave(), pty.slave(), "xterm-256color", &reason), 0) << reason;
    TerminalCell cells[TERMINAL_ROWS * TERMINAL_COLUMNS];
    for (auto& cell : cells)
        cell = TerminalCell{' ', 0x07};
    const std::string row = "\xdb\xdf\xb3 name\x9b" "31m\x1b]2;PWNED\x07 end";
    for (size_t i = 0; i < row.size(); ++i)
        cells[3 * TERMINAL_COLUMNS + i] = TerminalCell{uint8_t(row[i]), 0x07};
    terminal_show(cells);
    ASSERT_TRUE(pty.wait_for_output(" end"));
    terminal_close();
    setenv("LC_CTYPE", "C.UTF-8", 1);
    std::string out = pty.output();
    // The box characters go out as the terminal's line-drawing set...
    EXPECT_NE(out.find("\x1b(0"), std::string::npos);
    // ...and no byte of the page is sent with its eighth bit set.
    for (unsigned char c : out)
        ASSERT_LT(c, 0x80u);
    EXPECT_EQ(out.find("]2;PWNED\x07"), std::string::npos);
    EXPECT_NE(out.find(" name?31m"), std::string::npos);
}

TEST(TerminalFault, RestoreGivesTheTerminalBack)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    struct termios before;
    ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
    ASSERT_TRUE(before.c_lflag & ECHO);
    const char* reason = "";
    ASSERT_EQ(terminal_open_on(pty.slave(), pty.slave(), "xterm-256color", &reason), 0) << reason;
    TerminalCell cells[TERMINAL_ROWS * TERMINAL_COLUMNS] = {};
    terminal_show(cells);
    struct termios during;
    ASSERT_EQ(tcgetattr(pty.slave(), &during), 0);
    EXPECT_FALSE(during.c_lflag & ECHO);

    terminal_restore_after_fault();
    struct termios after;
    ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    // Leaves the alternate screen and shows the cursor again.
    EXPECT_TRUE(pty.wait_for_output("\x1b[?1049l"));
    EXPECT_TRUE(pty.wait_for_output("\x1b[?25h"));
    terminal_close();
}

TEST(TerminalOpen, RefusesWhatIsNoTerminal)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    const char* reason = "";
    EXPECT_EQ(terminal_open_on(pty.slave(), pty.slave(), "dumb", &reason), -1);
    EXPECT_STREQ(reason, "TERM names no usable terminal");
    EXPECT_EQ(terminal_open_on(pty.slave(), pty.slave(), "no-such-terminal-type", &reason), -1);
    EXPECT_STREQ(reason, "TERM names no known terminal type");
    // Nothing was taken over: the terminal can still be opened.
    ASSERT_EQ(terminal_open_on(pty.slave(), pty.slave(), "xterm", &reason), 0) << reason;
    terminal_close();
    terminal_close();
    EXPECT_EQ(terminal_read_key(), TerminalKey::None);
}
