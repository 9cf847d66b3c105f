// A console screen with buffer A current, and cell readers for the tests.
#pragma once

#include <gtest/gtest.h>
#include <string>

#include "port/running_flag.h"
#include "stats/statistics_board.h"
#include "console/console_screen.h"

class ScreenTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        console_screen.reset();
        console_screen.current = &console_screen.buffer_a;
        stats_board.clear();
        running_flag.set(true);
    }
    void TearDown() override
    {
        console_screen.reset();
        stats_board.clear();
    }

    static const ScreenBuffer& buffer() { return *console_screen.current; }
    static std::string text_at(int column, int row, int length)
    {
        std::string s;
        for (int i = 0; i < length; ++i)
            s += char(buffer().at(column + i, row).byte);
        return s;
    }
    static uint8_t byte_at(int column, int row) { return buffer().at(column, row).byte; }
    static uint8_t attr_at(int column, int row) { return buffer().at(column, row).attribute; }
    // True when every cell of the run has the attribute.
    static bool run_has_attr(int column, int row, int length, uint8_t attribute)
    {
        for (int i = 0; i < length; ++i)
            if (attr_at(column + i, row) != attribute)
                return false;
        return true;
    }
    static int count_of_byte(int column, int row, int length, uint8_t byte)
    {
        int n = 0;
        for (int i = 0; i < length; ++i)
            n += byte_at(column + i, row) == byte;
        return n;
    }
};
