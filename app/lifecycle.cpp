#include "app/lifecycle.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>
#include <unistd.h>

#include "app/ipx_network.h"
#include "app/main_loop.h"
#include "app/service_status.h"
#include "calls/access_settings.h"
#include "calls/call_settings.h"
#include "calls/call_capacity.h"
#include "calls/call_table.h"
#include "config/config_file.h"
#include "ipx/ipx_settings.h"
#include "link/board_settings.h"
#include "console/console_input.h"
#include "console/console_screen.h"
#include "log/log_file.h"
#include "port/clock.h"
#include "port/control_signals.h"
#include "port/fault_guard.h"
#include "port/host_description.h"
#include "port/process_limits.h"
#include "port/terminal.h"
#include "sap/sap_agent.h"
#include "ssh/ssh_host_key.h"
#include "ssh/ssh_listener.h"
#include "ssh/ssh_settings.h"
#include "status/status_server.h"
#include "telnet/telnet_listener.h"
#include "telnet/telnet_settings.h"
#include "web/tls_context.h"
#include "web/web_files.h"
#include "web/web_listener.h"
#include "web/web_settings.h"

void install_control_handler()
{
    running_flag.set(true);
    start_control_signal_thread(console_control_handler);
}

bool console_control_handler(int)
{
    std::printf("SIGHANDLER: Caught Shutdown signal\n");
    std::fflush(stdout);
    running_flag.set(false);
    // The main loop may be waiting for its next event.
    call_table.wake_up();
    return true;
}

int network_startup(const IpxSettings& settings)
{
    return start_ipx_network(settings);
}

void network_cleanup()
{
    stop_ipx_network();
}

namespace {
// Every element's settings, read before anything starts and handed to what
// uses them. The log's file name points into config.
struct StartupSettings {
    LogSettings log{};
    // The first Telnet port, then any more.
    std::vector<TelnetSettings> telnet;
    // None: no SSH port.
    std::vector<SshSettings> ssh;
    // One per SSH port, read (or made) before anything starts.
    std::vector<std::unique_ptr<SshHostKey>> ssh_keys;
    IpxSettings ipx;
    AccessSettings access;
    BoardSettings board;
    CallSettings call;
    StatusSettings status;
    // Not wanted: no web port.
    WebSettings web;
    // Its certificate and key, loaded before anything starts; null over
    // plain HTTP.
    std::unique_ptr<TlsContext> web_tls;
};

bool read_settings(const ConfigFile& config, StartupSettings& out, std::string& error)
{
    out.log = config.log_settings();
    return read_telnet_settings(config, out.telnet, error) && read_ssh_settings(config, out.ssh, error) &&
           read_ipx_settings(config, out.ipx, error) &&
           read_access_settings(config, out.access, error) && read_board_settings(config, out.board, error) &&
           read_call_settings(config, out.call, error) &&
           read_status_settings(config, out.status, error) && read_web_settings(config, out.web, error);
}

// Each SSH port's host key, read, or made where none is: a key that cannot
// be used stops the start as a malformed setting does.
bool prepare_ssh_keys(StartupSettings& settings, std::string& error)
{
    for (const SshSettings& ssh : settings.ssh) {
        auto key = std::make_unique<SshHostKey>();
        std::string reason;
        if (!key->load_or_make(ssh.host_key, reason)) {
            error = "Server Type=\"SSH\" HostKey=\"" + ssh.host_key + "\" is not usable: " + reason;
            return false;
        }
        settings.ssh_keys.push_back(std::move(key));
    }
    return true;
}

// The web port's certificate and key, loaded: a file that cannot be read
// or a key that does not match stops the start as a malformed setting does.
bool prepare_web_tls(StartupSettings& settings, std::string& error)
{
    const WebSettings& web = settings.web;
    if (!web.wanted || web.certificate.empty())
        return true;
    auto tls = std::make_unique<TlsContext>();
    std::string reason;
    if (!tls->load(web.certificate, web.key, reason)) {
        // The reason names the file at fault; the setting is the one named.
        const bool key_at_fault = reason.find(web.key) != std::string::npos &&
                                  reason.find(web.certificate) == std::string::npos;
        error = std::string("Server Type=\"Web\" ") + (key_at_fault ? "Key=\"" + web.key : "Certificate=\"" + web.certificate) +
                "\" is not usable: " + reason;
        return false;
    }
    settings.web_tls = std::move(tls);
    return true;
}

int open_web_listener(const StartupSettings& settings)
{
    const WebSettings& web = settings.web;
    WebFiles files;
    std::string missing;
    files.load(web.terminal_library, missing);
    if (!missing.empty())
        app_log.write(LOG_WARNING, "Web page: not found, so not served:%s (scripts/install-deps.sh build)",
                      missing.c_str());
    auto listener = std::make_unique<WebListener>();
    if (listener->open(web, settings.web_tls.get(), std::move(files)) != 0)
        return -1;
    if (!call_table.add_listener(std::move(listener))) {
        std::printf("Server Type=\"Web\": more than %d listeners\n", CallTable::MAX_LISTENERS);
        return -1;
    }
    app_log.write(LOG_INFO, "Web server on port %d (%s)", web.port, settings.web_tls ? "HTTPS" : "HTTP");
    return 0;
}

int open_ssh_listeners(const StartupSettings& settings)
{
    for (size_t i = 0; i < settings.ssh.size(); ++i) {
        const SshSettings& ssh = settings.ssh[i];
        const SshHostKey& key = *settings.ssh_keys[i];
        if (key.made())
            app_log.write(LOG_INFO, "SSH host key made in %s", ssh.host_key.c_str());
        app_log.write(LOG_INFO, "SSH host key fingerprint: %s", key.fingerprint().c_str());
        auto listener = std::make_unique<SshListener>();
        if (listener->open(ssh, key) != 0 || listener->trust_proxy(ssh.trust_proxy) != 0)
            return -1;
        if (!call_table.add_listener(std::move(listener))) {
            std::printf("Server Type=\"SSH\": more than %d listeners\n", CallTable::MAX_LISTENERS);
            return -1;
        }
    }
    return 0;
}

bool debug_switch(int argc, char** argv)
{
    return argc > 1 && argv[1][0] == '-' && argv[1][1] == 'd';
}

// Start-up from the network on, in order; -1 at the first subsystem that
// fails to start.
int start_subsystems(const StartupSettings& settings, bool debug_mode)
{
    app_log.write(LOG_DEBUG, "Network init()");
    if (network_startup(settings.ipx) != 0)
        return -1;
    if (sap_agent.init() != 0)
        return -1;
    app_log.write(LOG_DEBUG, "Telnet Server init()");
    call_table.init(AccessPolicy(settings.access), settings.board, settings.call);
    for (const TelnetSettings& port : settings.telnet) {
        auto telnet = std::make_unique<TelnetListener>();
        if (telnet->open(port.ip.empty() ? nullptr : port.ip.c_str(), port.port, port.charset) != 0 ||
            telnet->trust_proxy(port.trust_proxy) != 0)
            return -1;
        if (!call_table.add_listener(std::move(telnet))) {
            std::printf("Server Type=\"Telnet\": more than %d listeners\n", CallTable::MAX_LISTENERS);
            return -1;
        }
    }
    if (!settings.ssh.empty()) {
        app_log.write(LOG_DEBUG, "SSH Server init()");
        if (open_ssh_listeners(settings) != 0)
            return -1;
    }
    if (settings.web.wanted) {
        app_log.write(LOG_DEBUG, "Web Server init()");
        if (open_web_listener(settings) != 0)
            return -1;
    }
    app_log.write(LOG_DEBUG, "Console init()");
    console_init(debug_mode, settings.status.wanted);
    if (settings.status.wanted) {
        app_log.write(LOG_DEBUG, "Status server init()");
        if (start_status_server(settings.status) != 0)
            return -1;
    }
    sap_agent.add_query(BOARD_SERVICE_TYPE);
    return 0;
}

// Every step runs whether or not its subsystem started.
void stop_subsystems()
{
    stop_status_server();
    app_log.write(LOG_DEBUG, "Telnet Server shutdown()");
    call_table.shutdown();
    sap_agent.shutdown();
    app_log.write(LOG_DEBUG, "Console shutdown()");
    console_shutdown();
    app_log.write(LOG_DEBUG, "Network shutdown()");
    network_cleanup();
}

int start_and_run(const StartupSettings& settings, bool debug_mode)
{
    app_log.open(settings.log.file);
    app_log.set_threshold(settings.log.level);
    app_log.set_echo(stdout);
    bool banner_shown = app_log.threshold() >= LOG_INFO;
    arm_fault_guard(banner_shown ? app_log.descriptor() : -1, banner_shown ? STDOUT_FILENO : -1);

    app_log.write(LOG_INFO, "");
    app_log.write(LOG_INFO, "^^^ ORVA Startup -- KELB Internet Adapter v%s ^^^", ORVA_VERSION);
    app_log.write(LOG_INFO, "");

    install_control_handler();
    describe_host();
    app_log.write(LOG_INFO, "Running on %s", host_description());

    ServiceStatus service;
    int result = start_subsystems(settings, debug_mode);
    if (result == 0) {
        app_log.write(LOG_DEBUG, "Running ...");
        service.ready();
        MainLoop(call_table, &service).run();
        service.stopping();
    }
    stop_subsystems();

    app_log.write(LOG_INFO, "");
    app_log.write(LOG_INFO, "vvv ORVA Shutdown -- Normal Termination vvv");
    app_log.write(LOG_INFO, "");
    std::fflush(stdout);
    app_log.close();
    disarm_fault_guard();
    return result;
}
}

int run_adapter(int argc, char** argv)
{
    block_control_signals();
    // Lines reach a pipe or the journal as they are printed.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    bool debug_mode = debug_switch(argc, argv);

    ConfigFile config;
    if (config.load() != 0) {
        std::fprintf(stderr, "FATAL: unable to open config file");
        return 1;
    }
    StartupSettings settings;
    std::string error;
    if (!read_settings(config, settings, error) || !prepare_ssh_keys(settings, error) ||
        !prepare_web_tls(settings, error)) {
        std::fprintf(stderr, "FATAL: %s\n", error.c_str());
        return 1;
    }
    // Past what the process may hold, calls would fail one by one at
    // random: the limit is brought within it, and the operator told.
    std::string lowered;
    settings.access.max_calls = fit_max_calls(settings.access.max_calls, read_process_limits(), lowered);
    if (!lowered.empty())
        std::printf("%s\n", lowered.c_str());

    int result;
    try {
        result = start_and_run(settings, debug_mode);
    } catch (...) {
        terminal_restore_after_fault();
        write_exception_banner();
        std::fflush(stdout);
        app_log.close();
        _exit(255);
    }
    stop_control_signal_handling();
    // A start-up failure exits with 1: -1 would read as 255, a fault.
    return result == 0 ? 0 : 1;
}
