#include "tests/e2e/process_harness.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace e2e {

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
}

static int free_port(int type)
{
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        throw std::runtime_error("no free port");
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

int free_tcp_port() { return free_port(SOCK_STREAM); }
int free_udp_port() { return free_port(SOCK_DGRAM); }

TempDir::TempDir()
{
    char name[] = "/tmp/orva-test-XXXXXX";
    if (!mkdtemp(name))
        throw std::runtime_error("mkdtemp failed");
    path_ = name;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(const std::string& name, const std::string& content) const
{
    std::ofstream(file(name), std::ios::binary) << content;
}

std::string TempDir::read(const std::string& name) const
{
    std::ifstream in(file(name), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool TempDir::exists(const std::string& name) const
{
    return std::filesystem::exists(file(name));
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& dir)
{
    // A child that exits before reading its input must not kill the test.
    std::signal(SIGPIPE, SIG_IGN);
    int out[2], err[2], in[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        // The test runner may block signals; the child starts clean.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    close(in[0]);
    in_fd_ = in[1];
    out_fd_ = out[0];
    err_fd_ = err[0];
    fcntl(out_fd_, F_SETFL, O_NONBLOCK);
    fcntl(err_fd_, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess()
{
    if (running()) {
        kill(pid_, SIGKILL);
        wait_exit(5s);
    }
    close(out_fd_);
    close(err_fd_);
    close_in();
}

void ChildProcess::write_in(const std::string& text)
{
    size_t done = 0;
    while (in_fd_ >= 0 && done < text.size()) {
        ssize_t n = ::write(in_fd_, text.data() + done, text.size() - done);
        if (n <= 0)
            break;
        done += size_t(n);
    }
}

void ChildProcess::close_in()
{
    if (in_fd_ >= 0)
        close(in_fd_);
    in_fd_ = -1;
}

void ChildProcess::drain()
{
    char buf[4096];
    for (auto [fd, s] : {std::pair{out_fd_, &out_}, std::pair{err_fd_, &err_}}) {
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            s->append(buf, size_t(n));
        }
    }
}

const std::string& ChildProcess::out()
{
    drain();
    return out_;
}

const std::string& ChildProcess::err()
{
    drain();
    return err_;
}

bool ChildProcess::wait_for_out(const std::string& text, std::chrono::milliseconds timeout)
{
    return wait_until([&] { return out().find(text) != std::string::npos; }, timeout);
}

bool ChildProcess::wait_for_err(const std::string& text, std::chrono::milliseconds timeout)
{
    return wait_until([&] { return err().find(text) != std::string::npos; }, timeout);
}

void ChildProcess::signal(int sig)
{
    if (!exited_)
        kill(pid_, sig);
}

bool ChildProcess::running()
{
    if (exited_)
        return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        exited_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        drain();
        return false;
    }
    return r == 0;
}

int ChildProcess::wait_exit(std::chrono::milliseconds timeout)
{
    if (!wait_until([&] { drain(); return !running(); }, timeout))
        return -1;
    return status_;
}

std::string orva_config(int telnet_port, int ipx_port, bool host_network, const std::string& extra)
{
    return "<orva>\n"
           "  <Server Type=\"Telnet\" IP=\"127.0.0.1\" Port=\"" + std::to_string(telnet_port) + "\"/>\n"
           "  <Server Type=\"IPX\" IP=\"127.0.0.1\" Port=\"" + std::to_string(ipx_port) + "\" Host=\"" +
           (host_network ? "1" : "0") + "\"/>\n"
           "  <Log Level=\"5\"/>\n" +
           extra + "</orva>\n";
}

size_t count_of(const std::string& hay, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size()))
        ++n;
    return n;
}

}
