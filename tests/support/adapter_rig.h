// The whole adapter as callers meet it: orva, the IPX tunnel relay and the
// board host simulator as real processes on loopback, in one directory.
// Tests and the benchmark start it the same way.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/adapter_texts.h"
#include "tests/support/child_process.h"
#include "tests/support/free_port.h"
#include "tests/support/temp_dir.h"

namespace support {

// Where the programs are: the build's own unless told otherwise.
struct AdapterPrograms {
    AdapterPrograms();
    std::string orva;
    std::string relay;
    std::string board;
};

class AdapterRig {
public:
    // In a fresh temporary directory, the programs' output through pipes.
    AdapterRig();
    // In dir (kept), each program writing to <name>.out there, so that a
    // busy trace never blocks it: for long runs.
    AdapterRig(const std::string& dir, const AdapterPrograms& programs);
    // The simulator goes first, so that orva never waits on it.
    ~AdapterRig();
    AdapterRig(const AdapterRig&) = delete;
    AdapterRig& operator=(const AdapterRig&) = delete;

    // Each start waits until its program is up; false when it is not, with
    // the programs' output in why().
    // The tunnel relay on 127.0.0.1:ipx_port.
    bool start_relay();
    // orva -d, hosting its own IPX network on ipx_port, or joining the relay
    // there.
    bool start_orva(bool host_network = true);
    // The simulator with these options; waits until orva has heard of it
    // unless asked not to (a second simulator after a first was known).
    bool start_board(const std::vector<std::string>& options = {}, bool wait_for_sap = true);
    // SIGTERM, and the exit status.
    int stop_orva();
    // Kills with SIGKILL; true once it is gone.
    bool kill_relay();
    bool kill_board();

    // Reads the children's output so that none blocks on a full pipe; long
    // tests call it while they work.
    void pump();
    // orva's output from offset since on contains text (within timeout).
    bool orva_says(const std::string& text, size_t since = 0, std::chrono::milliseconds timeout = 10s);
    size_t orva_mark();
    // What the programs have said, for a failure message.
    std::string why();
    // The same, each program's cut to its last tail bytes: for runs whose
    // output is too long to show whole.
    std::string why(size_t tail);

    TempDir dir;
    AdapterPrograms programs;
    // The Access element, more elements and the Telnet address that
    // start_orva writes.
    std::string access = NO_ACCESS_LIMITS;
    std::string extra_config;
    std::string telnet_ip = "127.0.0.1";
    // More attributes of the Telnet element.
    std::string telnet_attributes;
    // Runs orva through this command and its arguments, for example
    // {"/usr/bin/prlimit", "--nofile=200:200"}.
    std::vector<std::string> orva_launcher;
    int telnet_port = free_tcp_port();
    int ipx_port = free_udp_port();
    std::unique_ptr<ChildProcess> orva;
    std::unique_ptr<ChildProcess> board;
    std::unique_ptr<ChildProcess> relay;

private:
    std::unique_ptr<ChildProcess> run(const std::string& name, const std::vector<std::string>& argv);
    bool log_files_ = false;
};

}
