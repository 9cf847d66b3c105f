#include "tests/support/counting.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace support {

size_t count_of(const std::string& hay, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size()))
        ++n;
    return n;
}

std::ostream& operator<<(std::ostream& out, const Footprint& f)
{
    return out << "{threads " << f.threads << ", fds " << f.fds << ", rss " << f.rss_kb << " kB}";
}

static int entries_in(const std::string& path)
{
    DIR* d = opendir(path.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n;
}

std::string thread_names(pid_t pid)
{
    const std::string task = "/proc/" + std::to_string(pid) + "/task";
    std::vector<std::string> names;
    if (DIR* d = opendir(task.c_str())) {
        while (dirent* e = readdir(d)) {
            std::ifstream comm(task + "/" + e->d_name + "/comm");
            std::string name;
            if (e->d_name[0] != '.' && std::getline(comm, name))
                names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string& name : names)
        all += name + "\n";
    return all;
}

Footprint footprint_of(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    Footprint f;
    f.threads = entries_in(proc + "/task");
    f.fds = entries_in(proc + "/fd");
    std::ifstream status(proc + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            f.rss_kb = std::stol(line.substr(6));
    std::ifstream stat(proc + "/stat");
    std::string text;
    if (std::getline(stat, text)) {
        // The name in parentheses may hold spaces; the fields follow it.
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        unsigned long long user = 0;
        unsigned long long system = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14)
                user = std::stoull(field);
            else if (i == 15)
                system = std::stoull(field);
        }
        f.cpu_seconds = double(user + system) / double(sysconf(_SC_CLK_TCK));
    }
    return f;
}

bool leave_free_descriptors(pid_t pid, int free)
{
    // A new descriptor takes the lowest free number below the limit; the
    // limit is put past every number in use up to it, so that one given
    // back can be had again.
    std::vector<int> held;
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d)
        return false;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            held.push_back(std::atoi(e->d_name));
    closedir(d);
    std::sort(held.begin(), held.end());
    int limit = free;
    for (int fd : held)
        if (fd <= limit)
            ++limit;
    rlimit now{};
    if (::prlimit(pid, RLIMIT_NOFILE, nullptr, &now) != 0)
        return false;
    const rlimit wanted{rlim_t(limit), now.rlim_max};
    return ::prlimit(pid, RLIMIT_NOFILE, &wanted, nullptr) == 0;
}

bool without_free_descriptors(const std::function<void()>& body)
{
    const int lowest_free = ::dup(0);
    if (lowest_free < 0)
        return false;
    ::close(lowest_free);
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    rlimit lowered = limit;
    lowered.rlim_cur = rlim_t(lowest_free);
    if (setrlimit(RLIMIT_NOFILE, &lowered) != 0)
        return false;
    body();
    setrlimit(RLIMIT_NOFILE, &limit);
    return true;
}

}
