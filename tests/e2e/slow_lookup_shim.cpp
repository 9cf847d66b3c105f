// Preloaded into orva by tests: every reverse name lookup first waits the
// milliseconds written in the file "lookup-delay-ms" of the working
// directory (none: no wait), as a resolver that does not answer would.
#include <dlfcn.h>
#include <netdb.h>
#include <stdio.h>
#include <time.h>

extern "C" int getnameinfo(const struct sockaddr* address, socklen_t length, char* host, socklen_t host_length,
                           char* service, socklen_t service_length, int flags)
{
    using Real = int (*)(const struct sockaddr*, socklen_t, char*, socklen_t, char*, socklen_t, int);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getnameinfo"));
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
    return real(address, length, host, host_length, service, service_length, flags);
}
