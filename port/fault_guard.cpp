// Replaces the structured exception handler around main with signal
// handlers on an alternate stack; faults on other threads keep their
// default effect.
#include "port/fault_guard.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
std::atomic<bool> armed{false};
std::atomic<void (*)()> cleanup_hook{nullptr};
int log_fd = -1;
int echo_fd = -1;
long utc_offset = 0;
pid_t main_tid = 0;
const int fault_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

// "Mon DD HH:MM:SS " in local time, without locale or time-zone calls.
size_t format_stamp(char* out)
{
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    long long t = (long long)time(nullptr) + utc_offset;
    long long days = t / 86400, secs = t % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    // Civil date from days since 1970-01-01.
    long long z = days + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    int day = int(doy - (153 * mp + 2) / 5 + 1);
    int month = int(mp < 10 ? mp + 3 : mp - 9);
    int h = int(secs / 3600), m = int(secs / 60 % 60), s = int(secs % 60);
    char* p = out;
    std::memcpy(p, months + (month - 1) * 3, 3);
    p += 3;
    auto two = [&p](int v) {
        *p++ = char('0' + v / 10);
        *p++ = char('0' + v % 10);
    };
    *p++ = ' ';
    two(day);
    *p++ = ' ';
    two(h);
    *p++ = ':';
    two(m);
    *p++ = ':';
    two(s);
    *p++ = ' ';
    return size_t(p - out);
}

void write_line(const char* message)
{
    char line[128];
    size_t n = format_stamp(line);
    size_t len = strlen(message);
    std::memcpy(line + n, message, len);
    n += len;
    line[n++] = '\n';
    for (int fd : {echo_fd, log_fd})
        if (fd >= 0) {
            ssize_t ignored = ::write(fd, line, n);
            (void)ignored;
        }
}

void on_fault(int signal)
{
    if (!armed || syscall(SYS_gettid) != main_tid) {
        std::signal(signal, SIG_DFL);
        raise(signal);
        return;
    }
    if (auto hook = cleanup_hook.load())
        hook();
    write_exception_banner();
    _exit(255);
}
}

void write_exception_banner()
{
    write_line("");
    write_line("vvv ORVA Shutdown -- EXCEPTION OCCURED vvv");
    write_line("");
}

void arm_fault_guard(int log_descriptor, int echo_descriptor)
{
    log_fd = log_descriptor;
    echo_fd = echo_descriptor;
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    utc_offset = local.tm_gmtoff;
    main_tid = pid_t(syscall(SYS_gettid));

    static char alternate_stack[64 * 1024];
    stack_t ss{};
    ss.ss_sp = alternate_stack;
    ss.ss_size = sizeof alternate_stack;
    sigaltstack(&ss, nullptr);

    struct sigaction action{};
    action.sa_handler = on_fault;
    action.sa_flags = SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int s : fault_signals)
        sigaction(s, &action, nullptr);
    armed = true;
}

void disarm_fault_guard()
{
    armed = false;
    for (int s : fault_signals)
        std::signal(s, SIG_DFL);
}

void set_fault_cleanup(void (*cleanup)())
{
    cleanup_hook = cleanup;
}
