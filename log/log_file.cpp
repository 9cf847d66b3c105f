#include "log/log_file.h"

#include <cstdarg>
#include <ctime>

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
    return file_ ? 0 : -1;
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
        std::fprintf(file_, "%s %s", stamp, label);
        written = std::vfprintf(file_, format, args);
        std::fputs("\n", file_);
        std::fflush(file_);
    }
    va_end(args);
    return written < 0 ? 0 : written;
}

LogFile app_log;
