// SettingReader: one element's settings, read one by one, with every
// refusal worded the same way: <Element> <Setting>="<value>" is not <what
// the setting takes>. An absent setting keeps the value it is given.
#pragma once

#include <string>

#include "config/config_file.h"

class SettingReader {
public:
    // element may be null (not in the file): every setting is then absent.
    // label names it in refusals ("Board", "Server Type=\"IPX\"").
    SettingReader(const ConfigElement* element, std::string label)
        : element_(element), label_(std::move(label)) {}

    // A whole decimal number from 0 to max, digits alone; wanted says so
    // in the operator's terms ("whole seconds from 0 to 3600").
    bool number(const char* key, int max, const char* wanted, int& value);
    // A TCP or UDP port, 1 to 65535.
    bool port(const char* key, int& value);
    // 0 or 1.
    bool flag(const char* key, bool& value);
    // Any text; never refused here.
    void text(const char* key, std::string& value) const;
    // Refuses the setting (present, with this value) for the reason given.
    bool refuse(const char* key, const std::string& value, const std::string& wanted);

    const std::string& error() const { return error_; }

private:
    const ConfigAttribute* find(const char* key) const;

    const ConfigElement* element_;
    std::string label_;
    std::string error_;
};
