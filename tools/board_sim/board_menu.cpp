#include "tools/board_sim/board_menu.h"

#include <cstdio>
#include <ctime>

namespace {
constexpr char ESCAPE = 0x1B;
}

BoardMenu::BoardMenu(int line, bool echo_only) : line_(line), echo_only_(echo_only) {}

std::string BoardMenu::menu() const
{
    return "[E]cho  [T]ime  [W]ho  [G]oodbye\r\n> ";
}

std::string BoardMenu::banner() const
{
    if (echo_only_)
        return "";
    return "\r\nWelcome to the KELB board, line " + std::to_string(line_) + ".\r\n" + menu();
}

std::string BoardMenu::input(const std::string& bytes, const std::string& who_text)
{
    if (echo_only_)
        return bytes;
    std::string out;
    for (const char c : bytes) {
        if (finished_)
            break;
        if (echoing_) {
            if (c == ESCAPE) {
                echoing_ = false;
                out += "\r\n" + menu();
            } else {
                out += c;
            }
            continue;
        }
        switch (c) {
        case 'e':
        case 'E':
            echoing_ = true;
            out += "E\r\nEcho: type away, Esc returns to the menu.\r\n";
            break;
        case 't':
        case 'T': {
            char text[64];
            const std::time_t now = std::time(nullptr);
            std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
            out += std::string("T\r\nBoard time: ") + text + "\r\n" + menu();
            break;
        }
        case 'w':
        case 'W':
            out += "W\r\n" + who_text + menu();
            break;
        case 'g':
        case 'G':
            out += "G\r\nGoodbye from line " + std::to_string(line_) + ".\r\n";
            finished_ = true;
            break;
        case '\r':
        case '\n':
        case '\0':
            break;
        default:
            out += "\r\n" + menu();
            break;
        }
    }
    return out;
}
