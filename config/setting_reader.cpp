#include "config/setting_reader.h"

const ConfigAttribute* SettingReader::find(const char* key) const
{
    return element_ ? element_->find_attribute(key) : nullptr;
}

bool SettingReader::refuse(const char* key, const std::string& value, const std::string& wanted)
{
    error_ = label_ + " " + key + "=\"" + value + "\" is not " + wanted;
    return false;
}

bool SettingReader::number(const char* key, int max, const char* wanted, int& value)
{
    const ConfigAttribute* a = find(key);
    if (!a || parse_whole_number(a->value.c_str(), max, value))
        return true;
    return refuse(key, a->value, wanted);
}

bool SettingReader::port(const char* key, int& value)
{
    int read = value;
    if (!number(key, 65535, "a port from 1 to 65535", read))
        return false;
    if (read == 0)
        return refuse(key, "0", "a port from 1 to 65535");
    value = read;
    return true;
}

bool SettingReader::flag(const char* key, bool& value)
{
    int read = value ? 1 : 0;
    if (!number(key, 1, "0 or 1", read))
        return false;
    value = read != 0;
    return true;
}

void SettingReader::text(const char* key, std::string& value) const
{
    if (const ConfigAttribute* a = find(key))
        value = a->value;
}
