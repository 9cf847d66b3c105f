// A program run by a test or benchmark as a child process, its output
// collected so that a test can wait for what it says.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace support {

using namespace std::chrono_literals;

class ChildProcess {
public:
    // Starts argv[0] (a path) with the given arguments in directory dir,
    // with pipes for standard input, output and error.
    ChildProcess(const std::vector<std::string>& argv, const std::string& dir = ".");
    // The same, standard output and error both to log_path and nothing on
    // standard input: a busy trace never blocks the program on a pipe that
    // nobody reads, which suits long runs.
    ChildProcess(const std::vector<std::string>& argv, const std::string& dir, const std::string& log_path);
    ~ChildProcess(); // kills the process if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Writes to the process's standard input; close_in ends it.
    void write_in(const std::string& text);
    void close_in();
    // Everything the process has written so far (with a log file, all of it
    // is out). References stay valid until the next call; copy to keep.
    const std::string& out();
    const std::string& err();
    // Waits until standard output (or error) holds text, count times; gives
    // up early once the process has ended.
    bool wait_for_out(const std::string& text, std::chrono::milliseconds timeout = 10s, size_t count = 1);
    bool wait_for_err(const std::string& text, std::chrono::milliseconds timeout = 10s);
    void signal(int sig);
    // Waits for the exit; returns the exit status, 128 + signal when killed
    // by one, or -1 when it did not end in time.
    int wait_exit(std::chrono::milliseconds timeout = 20s);
    // SIGTERM, then SIGKILL when it has not ended within timeout; the exit
    // status as wait_exit gives it.
    int stop(std::chrono::milliseconds timeout = 10s);
    bool running();

private:
    void start(const std::vector<std::string>& argv, const std::string& dir, int in, int out, int err);
    void drain();
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    int in_fd_ = -1;
    std::string out_;
    std::string err_;
    int status_ = -1;
    bool exited_ = false;
};

}
