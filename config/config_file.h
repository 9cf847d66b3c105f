// ConfigFile: the element tree Expat builds from orva.conf.xml, and the
// settings looked up in it.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct ConfigAttribute {
    std::string name;
    std::string value;
};

struct ConfigElement {
    std::string name;
    ConfigElement* parent = nullptr;
    std::vector<std::unique_ptr<ConfigElement>> children;
    std::vector<std::unique_ptr<ConfigAttribute>> attributes;

    ConfigElement() = default;
    // Releases the subtree level by level, not one stack frame per level:
    // a deeply nested file must not overflow the stack.
    ~ConfigElement();
    ConfigElement(const ConfigElement&) = delete;
    ConfigElement& operator=(const ConfigElement&) = delete;

    // First child with exactly this name, or null.
    const ConfigElement* find_child(const char* name) const;
    // The first later child named like child, or null (also when child is
    // not among the children).
    const ConfigElement* find_next_named(const ConfigElement* child) const;
    // First attribute with exactly this name, or null.
    const ConfigAttribute* find_attribute(const char* name) const;
};

struct LogSettings {
    const char* file;
    int level;
};

class ConfigFile {
public:
    static constexpr const char* FILE_NAME = "orva.conf.xml";

    ConfigFile() = default;
    ConfigFile(const ConfigFile&) = delete;
    ConfigFile& operator=(const ConfigFile&) = delete;

    // Reads orva.conf.xml from the working directory: 0 loaded, -1 failed.
    int load();
    // Parses one file into the tree, replacing any tree loaded before;
    // messages go to standard error.
    bool load_xml_file(const char* file_name);

    // Text values point into the tree and live as long as it.
    const char* server_string(const char* type, const char* key, const char* fallback) const;
    int server_int(const char* type, const char* key, int fallback) const;
    const char* section_string(const char* section, const char* key, const char* fallback) const;
    int section_int(const char* section, const char* key, int fallback) const;
    LogSettings log_settings() const;

    const ConfigElement* root() const { return root_.get(); }
    // The first element of this name under the root, or the first Server
    // of this Type; null when there is none.
    const ConfigElement* section(const char* name) const;
    const ConfigElement* server(const char* type) const;
    // Every Server of this Type, in file order.
    std::vector<const ConfigElement*> servers(const char* type) const;

private:
    static void on_start(void* user, const char* name, const char** attributes);
    static void on_end(void* user, const char* name);
    const ConfigAttribute* server_attribute(const char* type, const char* key) const;
    const ConfigAttribute* section_attribute(const char* name, const char* key) const;

    std::unique_ptr<ConfigElement> root_;
    ConfigElement* current_ = nullptr;
};

// A setting that must be a whole decimal number from 0 to max, digits and
// nothing else; false, value untouched, for anything else.
bool parse_whole_number(const char* text, int max, int& value);
