// Helpers for end-to-end tests: real processes, free loopback ports,
// temporary directories and deadline waits (never a bare sleep).
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

// Polls pred every millisecond until it holds or timeout passes.
bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s);

// A port on 127.0.0.1 that was free a moment ago (bound to 0 and released).
int free_tcp_port();
int free_udp_port();

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;

private:
    std::string path_;
};

// A child process with its standard output and error collected.
class ChildProcess {
public:
    // Starts argv[0] (a path) with the given arguments in directory dir.
    ChildProcess(const std::vector<std::string>& argv, const std::string& dir = ".");
    ~ChildProcess(); // kills the process if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Writes to the process's standard input; close_in ends it.
    void write_in(const std::string& text);
    void close_in();
    // Everything the process has written so far.
    // References stay valid until the next call; copy to keep.
    const std::string& out();
    const std::string& err();
    // Waits until standard output (or error) holds text.
    bool wait_for_out(const std::string& text, std::chrono::milliseconds timeout = 10s);
    bool wait_for_err(const std::string& text, std::chrono::milliseconds timeout = 10s);
    void signal(int sig);
    // Waits for the exit; returns the exit status, 128 + signal when killed
    // by one, or -1 when it did not end in time.
    int wait_exit(std::chrono::milliseconds timeout = 20s);
    bool running();

private:
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

// An orva.conf.xml for a test: Telnet and IPX on 127.0.0.1, hosting the IPX
// network itself or joining a tunnel server there, logging at debug level;
// extra is more elements, as they stand in the file.
std::string orva_config(int telnet_port, int ipx_port, bool host_network = true, const std::string& extra = "");

// The number of occurrences of needle in hay.
size_t count_of(const std::string& hay, const std::string& needle);

}
