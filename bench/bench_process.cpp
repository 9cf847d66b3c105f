#include "bench/bench_process.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

BenchProcess::BenchProcess(const std::vector<std::string>& argv, const std::string& dir, const std::string& log_path)
    : log_path_(log_path)
{
    const int out = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0)
        throw std::runtime_error("cannot write " + log_path);
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    ::close(out);
}

BenchProcess::~BenchProcess()
{
    if (running()) {
        kill(pid_, SIGKILL);
        reap(true);
    }
}

bool BenchProcess::reap(bool block)
{
    if (exited_)
        return true;
    int status = 0;
    if (waitpid(pid_, &status, block ? 0 : WNOHANG) != pid_)
        return false;
    exited_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

bool BenchProcess::running()
{
    return pid_ > 0 && !reap(false);
}

std::string BenchProcess::output() const
{
    std::ifstream in(log_path_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool BenchProcess::wait_for_output(const std::string& text, int timeout_ms, size_t count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (occurrences(output(), text) >= count)
            return true;
        if (std::chrono::steady_clock::now() >= deadline || !running())
            return occurrences(output(), text) >= count;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int BenchProcess::stop(int timeout_ms)
{
    if (!running())
        return status_;
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            reap(true);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return status_;
}

size_t occurrences(const std::string& hay, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size()))
        ++n;
    return n;
}
