// A program the benchmark runs: its output goes to a file (as an operator's
// journal would take it), so that a busy trace never blocks it on a pipe.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

class BenchProcess {
public:
    // Starts argv[0] (a path) in dir, standard output and error to log_path.
    BenchProcess(const std::vector<std::string>& argv, const std::string& dir, const std::string& log_path);
    ~BenchProcess();  // kills the process if it still runs
    BenchProcess(const BenchProcess&) = delete;
    BenchProcess& operator=(const BenchProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Everything written so far.
    std::string output() const;
    // Waits until the output holds text at least count times.
    bool wait_for_output(const std::string& text, int timeout_ms, size_t count = 1);
    // SIGTERM, then SIGKILL when it has not ended in timeout_ms; the exit
    // status, or 128 + the signal that ended it.
    int stop(int timeout_ms = 10000);

private:
    bool reap(bool block);
    pid_t pid_ = -1;
    std::string log_path_;
    int status_ = -1;
    bool exited_ = false;
};

size_t occurrences(const std::string& hay, const std::string& needle);
