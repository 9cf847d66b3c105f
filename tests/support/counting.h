// Counting what tests and benchmarks check: occurrences in a program's
// output, and a process's threads, descriptors and memory.
#pragma once

#include <cstddef>
#include <functional>
#include <ostream>
#include <string>
#include <sys/types.h>

namespace support {

// The number of non-overlapping occurrences of needle in hay.
size_t count_of(const std::string& hay, const std::string& needle);

struct Footprint {
    int threads = -1;
    int fds = -1;
    long rss_kb = -1;
    // User plus system time so far.
    double cpu_seconds = -1;
};
std::ostream& operator<<(std::ostream& out, const Footprint& f);
// Read from /proc; -1 for what cannot be read.
Footprint footprint_of(pid_t pid);
// The names of a process's threads, sorted, each followed by a newline.
std::string thread_names(pid_t pid);
// Lowers a running process's descriptor limit (the soft one) so that it
// may open just free more; false when the system refuses.
bool leave_free_descriptors(pid_t pid, int free);
// Runs body with this process's descriptor limit at its lowest free
// descriptor, so that nothing it opens gets one; false when the limit
// could not be lowered (body did not run).
bool without_free_descriptors(const std::function<void()>& body);

}
