#include "tests/support/tmux_pane.h"

#include "tests/support/wait_until.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace support {

std::string run_command(const std::string& command)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

bool have_tmux()
{
    return std::system("command -v tmux >/dev/null 2>&1") == 0;
}

std::string openssh_pane_command(int port, const std::string& known_hosts)
{
    return "ssh -tt -F /dev/null -o UserKnownHostsFile=" + known_hosts +
           " -o StrictHostKeyChecking=accept-new -o PubkeyAuthentication=no"
           " -o PreferredAuthentications=none,password,keyboard-interactive -p " + std::to_string(port) +
           " any@127.0.0.1; echo ssh-exit-status=$?; exec cat";
}

std::u32string decode_utf8(const std::string& s)
{
    std::u32string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = s[i];
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        char32_t code = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
        for (int k = 1; k <= extra && i + k < s.size(); ++k)
            code = (code << 6) | (s[i + k] & 0x3F);
        out += code;
        i += 1 + extra;
    }
    return out;
}

Tmux::Tmux(const std::string& name) : socket_(name + "-" + std::to_string(getpid())) {}

Tmux::~Tmux()
{
    run_command(tmux() + " kill-server >/dev/null 2>&1");
}

void Tmux::start_orva(const std::string& dir, const std::string& args)
{
    start("cd " + dir + " && TERM=tmux-256color LC_CTYPE=C.UTF-8 " ORVA_BINARY " " + args +
          "; echo orva-exit-status=$?; exec cat");
}

bool Tmux::shows(const std::string& text, std::chrono::milliseconds timeout) const
{
    return wait_until([&] { return screen_text().find(text) != std::string::npos; }, timeout);
}

std::string Tmux::tmux() const
{
    return "tmux -L " + socket_ + " -f /dev/null";
}

void Tmux::start(const std::string& shell_command)
{
    run_command(tmux() + " new-session -d -s page -x 80 -y 25 \"" + shell_command + "\"");
}

std::vector<std::u32string> Tmux::screen() const
{
    std::string text = screen_text();
    std::vector<std::u32string> rows;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        rows.push_back(decode_utf8(text.substr(start, end - start)));
    return rows;
}

std::string Tmux::screen_text() const
{
    return run_command(tmux() + " capture-pane -p -N -t page 2>/dev/null");
}

void Tmux::keys(const std::string& names) const
{
    run_command(tmux() + " send-keys -t page " + names);
}

std::string Tmux::title() const
{
    return run_command(tmux() + " display-message -p -t page '#{pane_title}'");
}

std::u32string at(const std::vector<std::u32string>& rows, size_t column, size_t row, size_t length)
{
    if (row >= rows.size() || column >= rows[row].size())
        return U"";
    return rows[row].substr(column, length);
}

}
