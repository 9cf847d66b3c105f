#include "tests/support/child_process.h"

#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/counting.h"
#include "tests/support/wait_until.h"

namespace support {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& dir)
{
    int out[2], err[2], in[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    start(argv, dir, in[0], out[1], err[1]);
    close(out[1]);
    close(err[1]);
    close(in[0]);
    in_fd_ = in[1];
    out_fd_ = out[0];
    err_fd_ = err[0];
    fcntl(out_fd_, F_SETFL, O_NONBLOCK);
    fcntl(err_fd_, F_SETFL, O_NONBLOCK);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& dir, const std::string& log_path)
{
    const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (log < 0 || nothing < 0)
        throw std::runtime_error("cannot write " + log_path);
    start(argv, dir, nothing, log, log);
    close(log);
    close(nothing);
    // The log is read as it grows, like the pipe.
    out_fd_ = ::open(log_path.c_str(), O_RDONLY | O_CLOEXEC);
}

void ChildProcess::start(const std::vector<std::string>& argv, const std::string& dir, int in, int out, int err)
{
    // A child that exits before reading its input must not kill the caller.
    std::signal(SIGPIPE, SIG_IGN);
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ != 0)
        return;
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
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

ChildProcess::~ChildProcess()
{
    if (running()) {
        kill(pid_, SIGKILL);
        wait_exit(5s);
    }
    if (out_fd_ >= 0)
        close(out_fd_);
    if (err_fd_ >= 0)
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
        if (fd < 0)
            continue;
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

bool ChildProcess::wait_for_out(const std::string& text, std::chrono::milliseconds timeout, size_t count)
{
    wait_until([&] { return !running() || count_of(out(), text) >= count; }, timeout);
    return count_of(out(), text) >= count;
}

bool ChildProcess::wait_for_err(const std::string& text, std::chrono::milliseconds timeout)
{
    return wait_until([&] { return err().find(text) != std::string::npos || !running(); }, timeout) &&
           err().find(text) != std::string::npos;
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

int ChildProcess::stop(std::chrono::milliseconds timeout)
{
    signal(SIGTERM);
    const int status = wait_exit(timeout);
    if (status >= 0)
        return status;
    signal(SIGKILL);
    return wait_exit(5s);
}

}
