#include "log/log_file.h"

#include <cstdarg>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char* label_of(int level)
{
    switch (level) {
    case LOG_FATAL: return "FATAL: ";
    case LOG_ERROR: return "ERROR: ";
    case LOG_WARNING: return "WARNING: ";
    case LOG_DEBUG: return "DEBUG: ";
    default: return "";
    }
}
}

int LogFile::open(const char* name)
{
    file_ = std::fopen(name, "a");
    if (file_)
        name_ = name;
    return file_ ? 0 : -1;
}

// One stat an entry: entries are few (refusals are held to a few a second)
// and no line may land in a file that logrotate has already moved away.
// The new file takes the old descriptor's number, which the fault path
// holds; when it cannot be opened, entries stay with the old file.
void LogFile::follow_rename()
{
    struct stat named {};
    struct stat open_now {};
    const int fd = fileno(file_);
    if (stat(name_.c_str(), &named) == 0 && fstat(fd, &open_now) == 0 && named.st_dev == open_now.st_dev &&
        named.st_ino == open_now.st_ino)
        return;
    const int fresh = ::open(name_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fresh < 0)
        return;
    std::fflush(file_);
    dup2(fresh, fd);
    ::close(fresh);
}

void LogFile::close()
{
    MutexHold hold(lock_);
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}

int LogFile::descriptor() const
{
    return file_ ? fileno(file_) : -1;
}

int LogFile::write(int level, const char* format, ...)
{
    if (level > threshold_ || level < LOG_ALWAYS || level > LOG_DEBUG)
        return 0;
    MutexHold hold(lock_);

    char stamp[16];
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%b %d %H:%M:%S", &local);
    const char* label = label_of(level);

    int written = 0;
    va_list args;
    va_start(args, format);
    if (echo_) {
        va_list copy;
        va_copy(copy, args);
        std::fprintf(echo_, "%s %s", stamp, label);
        std::vfprintf(echo_, format, copy);
        std::fputs("\n", echo_);
        va_end(copy);
    }
    if (file_) {
        follow_rename();
        std::fprintf(file_, "%s %s", stamp, label);
        written = std::vfprintf(file_, format, args);
        std::fputs("\n", file_);
        std::fflush(file_);
    }
    va_end(args);
    return written < 0 ? 0 : written;
}

LogFile app_log;
