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
pid_t main_tid = 0;
const int fault_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

// The local zone's offsets from UTC, from arming on: the fault path may take
// no lock and allocate nothing, so it cannot ask for local time itself.
struct OffsetChange {
    long long from; // first second of the offset
    long offset;
};
constexpr int MAX_OFFSET_CHANGES = 128;
constexpr long long OFFSET_STEP = 86400;            // no zone changes twice a day
constexpr long long OFFSETS_AHEAD = 20LL * 366 * 86400; // then the last one holds
OffsetChange offset_changes[MAX_OFFSET_CHANGES];
std::atomic<int> offset_change_count{0};

long offset_at(long long t)
{
    time_t moment = time_t(t);
    tm local{};
    localtime_r(&moment, &local);
    return local.tm_gmtoff;
}

void take_offsets(long long now)
{
    int n = 0;
    long current = offset_at(now);
    offset_changes[n++] = OffsetChange{now, current};
    for (long long t = now; t < now + OFFSETS_AHEAD && n < MAX_OFFSET_CHANGES; t += OFFSET_STEP) {
        long next = offset_at(t + OFFSET_STEP);
        if (next == current)
            continue;
        // The change lies in (t, t + step]: find its first second.
        long long low = t, high = t + OFFSET_STEP;
        while (high - low > 1) {
            long long middle = low + (high - low) / 2;
            (offset_at(middle) == current ? low : high) = middle;
        }
        offset_changes[n++] = OffsetChange{high, next};
        current = next;
    }
    offset_change_count = n;
}

long offset_for(long long t)
{
    int n = offset_change_count;
    long offset = n > 0 ? offset_changes[0].offset : 0;
    for (int i = 1; i < n && offset_changes[i].from <= t; ++i)
        offset = offset_changes[i].offset;
    return offset;
}
}

// "Mon DD HH:MM:SS " in local time, without locale or time-zone calls.
size_t fault_stamp(long long moment, char* out)
{
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    long long t = moment + offset_for(moment);
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

namespace {
void write_line(const char* message)
{
    char line[128];
    size_t n = fault_stamp((long long)time(nullptr), line);
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
    take_offsets((long long)time(nullptr));
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
