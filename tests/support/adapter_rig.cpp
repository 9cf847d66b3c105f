#include "tests/support/adapter_rig.h"

#include <csignal>

#include "tests/support/adapter_texts.h"
#include "tests/support/wait_until.h"

namespace support {

AdapterPrograms::AdapterPrograms() : orva(ORVA_BINARY), relay(RELAY_BINARY), board(BOARD_SIM_BINARY) {}

AdapterRig::AdapterRig() = default;

AdapterRig::AdapterRig(const std::string& dir, const AdapterPrograms& programs)
    : dir(dir), programs(programs), log_files_(true)
{
}

AdapterRig::~AdapterRig()
{
    board.reset();
    orva.reset();
    relay.reset();
}

std::unique_ptr<ChildProcess> AdapterRig::run(const std::string& name, const std::vector<std::string>& argv)
{
    if (log_files_)
        return std::make_unique<ChildProcess>(argv, dir.path(), dir.file(name + ".out"));
    return std::make_unique<ChildProcess>(argv, dir.path());
}

bool AdapterRig::start_relay()
{
    relay = run("relay", {programs.relay, "--listen", "127.0.0.1", "--port", std::to_string(ipx_port)});
    return relay->wait_for_out("IPX relay: listening");
}

bool AdapterRig::start_orva(bool host_network)
{
    dir.write("orva.conf.xml", orva_config(telnet_port, ipx_port, host_network, access + extra_config, telnet_ip,
                                             telnet_attributes));
    std::vector<std::string> argv = orva_launcher;
    argv.insert(argv.end(), {programs.orva, "-d"});
    orva = run("orva", argv);
    return orva->wait_for_out("DEBUG: Running ...");
}

bool AdapterRig::start_board(const std::vector<std::string>& options, bool wait_for_sap)
{
    std::vector<std::string> argv{programs.board, "--relay", "127.0.0.1:" + std::to_string(ipx_port)};
    argv.insert(argv.end(), options.begin(), options.end());
    const size_t mark = orva_mark();
    board = run("board", argv);
    if (!board->wait_for_out("IPX address: "))
        return false;
    return !wait_for_sap || orva_says("SAP: Added Server to List", mark, 15s);
}

int AdapterRig::stop_orva()
{
    orva->signal(SIGTERM);
    return orva->wait_exit();
}

bool AdapterRig::kill_relay()
{
    relay->signal(SIGKILL);
    return relay->wait_exit() == 128 + SIGKILL;
}

bool AdapterRig::kill_board()
{
    board->signal(SIGKILL);
    return board->wait_exit() == 128 + SIGKILL;
}

void AdapterRig::pump()
{
    for (ChildProcess* p : {orva.get(), board.get(), relay.get()})
        if (p) {
            p->out();
            p->err();
        }
}

size_t AdapterRig::orva_mark()
{
    return orva ? orva->out().size() : 0;
}

bool AdapterRig::orva_says(const std::string& text, size_t since, std::chrono::milliseconds timeout)
{
    return wait_until(
        [&] {
            pump();
            const std::string& out = orva->out();
            return out.size() > since && out.find(text, since) != std::string::npos;
        },
        timeout);
}

std::string AdapterRig::why()
{
    return why(std::string::npos);
}

std::string AdapterRig::why(size_t tail)
{
    pump();
    std::string text;
    for (auto [name, p] : {std::pair{"orva", orva.get()}, std::pair{"board", board.get()}, std::pair{"relay", relay.get()}})
        if (p) {
            // Copied before err(), which may read more into out().
            std::string said = p->out();
            said += p->err();
            if (said.size() > tail)
                said = "...\n" + said.substr(said.size() - tail);
            text += std::string("--- ") + name + ":\n" + said;
        }
    return text;
}

}
