// Preloaded into orva by tests: every reverse name lookup first waits the
// milliseconds written in the file "lookup-delay-ms" of the working
// directory (none: no wait), as a resolver that does not answer would. A
// line is added to "lookups-started" as each begins and to
// "lookups-finished" as each ends.
#include <dlfcn.h>
#include <netdb.h>
#include <stdio.h>
#include <time.h>

namespace {
void note(const char* file)
{
    if (FILE* f = fopen(file, "a")) {
        fputs("lookup\n", f);
        fclose(f);
    }
}
}

extern "C" int getnameinfo(const struct sockaddr* address, socklen_t length, char* host, socklen_t host_length,
                           char* service, socklen_t service_length, int flags)
{
    using Real = int (*)(const struct sockaddr*, socklen_t, char*, socklen_t, char*, socklen_t, int);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getnameinfo"));
    note("lookups-started");
    long delay_ms = 0;
    if (FILE* f = fopen("lookup-delay-ms", "r")) {
        if (fscanf(f, "%ld", &delay_ms) != 1)
            delay_ms = 0;
        fclose(f);
    }
    if (delay_ms > 0) {
        timespec t{delay_ms / 1000, (delay_ms % 1000) * 1000000};
        nanosleep(&t, nullptr);
    }
    const int result = real(address, length, host, host_length, service, service_length, flags);
    note("lookups-finished");
    return result;
}
