#include "bench/process_usage.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

double wall_now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}

ProcessUsage read_process_usage(pid_t pid)
{
    ProcessUsage u;
    const std::string dir = "/proc/" + std::to_string(pid);
    std::ifstream stat(dir + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return u;
    // The command name may hold spaces; the fields start after its ')'.
    const size_t close = line.rfind(')');
    if (close == std::string::npos)
        return u;
    std::istringstream fields(line.substr(close + 2));
    std::vector<std::string> f;
    for (std::string t; fields >> t;)
        f.push_back(t);
    // f[0] is field 3 (state): utime is field 14, stime 15, threads 20.
    if (f.size() < 18)
        return u;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    u.cpu_seconds = (std::stod(f[11]) + std::stod(f[12])) / tick;
    u.threads = std::stoi(f[17]);
    std::ifstream status(dir + "/status");
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            u.rss_kb = std::stol(line.substr(6));
    u.ok = true;
    return u;
}

UsageMeter::UsageMeter(pid_t pid) : pid_(pid), start_(read_process_usage(pid)), start_wall_(wall_now()) {}

UsageWindow UsageMeter::finish() const
{
    const ProcessUsage end = read_process_usage(pid_);
    const double wall = wall_now() - start_wall_;
    UsageWindow w;
    if (!start_.ok || !end.ok || wall <= 0)
        return w;
    w.ok = true;
    w.core_share = (end.cpu_seconds - start_.cpu_seconds) / wall;
    w.rss_kb = end.rss_kb;
    w.threads = end.threads;
    return w;
}
