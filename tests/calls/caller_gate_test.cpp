// The gate before a board line, on a clock the test sets: what passes,
// what fails, and which bytes are the caller's first for the board.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "calls/caller_gate.h"

namespace {

using State = CallerGate::State;

TEST(CallerGate, TwoEscInARowWithinTheTimeAndNoMoreThan256OtherBytes)
{
    const std::string esc = "\x1b";
    const std::string others_256(256, 'x');
    struct Case {
        const char* what;
        // Each read as the caller's bytes came, at its time in ms.
        std::vector<std::pair<std::string, uint64_t>> reads;
        State state;
        // Bytes of the last read the gate looked at; the rest go to the board.
        int32_t last_looked;
    };
    const Case cases[] = {
        {"ESC ESC", {{esc + esc, 0}}, State::Passed, 2},
        {"what follows the second ESC is the board's", {{esc + esc + "ab", 100}}, State::Passed, 2},
        {"split across reads", {{"hi" + esc, 0}, {esc + "z", 19999}}, State::Passed, 1},
        {"a byte between the two starts again", {{esc + "x" + esc, 0}}, State::Waiting, 3},
        {"three ESCs pass at the second", {{esc + esc + esc, 0}}, State::Passed, 2},
        {"256 other bytes are allowed", {{others_256, 0}, {esc + esc, 10}}, State::Passed, 2},
        {"the 257th fails", {{others_256 + "y" + esc + esc, 0}}, State::Failed, 257},
        {"ESCs between them do not count", {{others_256 + esc + "y", 0}}, State::Failed, 258},
        {"the time over fails", {{esc, 0}, {esc, 20000}}, State::Failed, 0},
    };
    for (const Case& c : cases) {
        CallerGate gate(20000);
        gate.ask(0);
        int32_t looked = -1;
        for (const auto& [bytes, at_ms] : c.reads) {
            if (gate.check_time(at_ms) != State::Waiting) {
                looked = 0;
                break;
            }
            looked = gate.feed(reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size()));
        }
        EXPECT_EQ(gate.state(), c.state) << c.what;
        EXPECT_EQ(looked, c.last_looked) << c.what;
    }
}

TEST(CallerGate, TimeRunsFromTheQuestionAndNotAtAllWithoutAGate)
{
    CallerGate gate(1000);
    EXPECT_EQ(gate.check_time(5000), State::Waiting) << "not asked yet (transport still being set up)";
    EXPECT_EQ(gate.deadline_ms(), 0u);
    gate.ask(5000);
    gate.ask(5500);
    EXPECT_EQ(gate.deadline_ms(), 6000u) << "asked once";
    EXPECT_EQ(gate.check_time(5999), State::Waiting);
    EXPECT_EQ(gate.check_time(6000), State::Failed);
    EXPECT_EQ(gate.deadline_ms(), 0u);

    CallerGate none;
    EXPECT_EQ(none.state(), State::Passed);
    const uint8_t x = 'x';
    EXPECT_EQ(none.feed(&x, 1), 0) << "nothing is held back from the board";
}

}
