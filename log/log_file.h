// LogFile: the append-only log with levels, threshold and an echo stream.
#pragma once

#include <cstdio>
#include <string>

#include "port/locks.h"

constexpr int LOG_ALWAYS = 0;
constexpr int LOG_FATAL = 1;
constexpr int LOG_ERROR = 2;
constexpr int LOG_WARNING = 3;
constexpr int LOG_INFO = 4;
constexpr int LOG_DEBUG = 5;

class LogFile {
public:
    LogFile() = default;
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens name for appending; 0 when open, -1 otherwise. Once the file has
    // been renamed or removed (a log rotation), the next entry goes to a new
    // file of that name, on the same descriptor.
    int open(const char* name);
    void close();

    void set_threshold(int level) { threshold_ = level; }
    int threshold() const { return threshold_; }
    void set_echo(FILE* stream) { echo_ = stream; }

    // One entry "Mon DD HH:MM:SS <label><message>\n" in the file and on the
    // echo stream; entries above the threshold are dropped without locking.
    // While no file is open the entry goes to the echo stream only. Returns
    // the characters the message produced in the file (0 when none).
    int write(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // The open file's descriptor, for the fault path; -1 when closed. It
    // stays the same across rotations.
    int descriptor() const;

private:
    // When name_ is no longer the open file, opens it again in its place.
    void follow_rename();

    FILE* file_ = nullptr;
    std::string name_;
    FILE* echo_ = nullptr;
    Mutex lock_;
    int threshold_ = LOG_INFO;
};

extern LogFile app_log;
