// A working directory for the programs a test or benchmark runs.
#pragma once

#include <string>

namespace support {

class TempDir {
public:
    // A fresh directory under /tmp, removed with everything in it.
    TempDir();
    // The directory at path, created when missing and kept afterwards.
    explicit TempDir(const std::string& path);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;

private:
    std::string path_;
    bool remove_ = true;
};

}
