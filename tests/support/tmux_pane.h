// An 80x25 tmux pane for tests that read what an operator sees: a tmux
// server of the test's own, its screen captured as rows of characters.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace support {

// Runs a shell command and returns its standard output.
std::string run_command(const std::string& command);

bool have_tmux();

// The OpenSSH client for a pane, dialling 127.0.0.1:port as any user with
// no key, trusting a host key it has not seen and keeping it in
// known_hosts; the pane's shell then says how it ended.
std::string openssh_pane_command(int port, const std::string& known_hosts);

// Decodes UTF-8 so that columns count characters.
std::u32string decode_utf8(const std::string& s);

// A tmux server of its own, killed with everything in it at the end.
class Tmux {
public:
    // name tells this test's server apart from others running at once.
    explicit Tmux(const std::string& name = "orva-console");
    ~Tmux();
    Tmux(const Tmux&) = delete;
    Tmux& operator=(const Tmux&) = delete;

    std::string tmux() const;
    // Starts shell_command in an 80x25 pane.
    void start(const std::string& shell_command);
    // Starts this build's orva with args in dir, on a UTF-8 terminal; the
    // pane's shell then shows "orva-exit-status=N" and waits to be killed.
    void start_orva(const std::string& dir, const std::string& args = "");
    // Waits until the screen holds text.
    bool shows(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    std::vector<std::u32string> screen() const;
    std::string screen_text() const;
    void keys(const std::string& names) const;
    std::string title() const;

private:
    std::string socket_;
};

// The text at (column, row) of a captured screen, empty if off screen.
std::u32string at(const std::vector<std::u32string>& rows, size_t column, size_t row, size_t length);

}
