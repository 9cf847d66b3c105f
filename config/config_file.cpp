#include "config/config_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <expat.h>

ConfigElement::~ConfigElement()
{
    std::vector<std::unique_ptr<ConfigElement>> pending = std::move(children);
    while (!pending.empty()) {
        std::unique_ptr<ConfigElement> element = std::move(pending.back());
        pending.pop_back();
        for (auto& child : element->children)
            pending.push_back(std::move(child));
        element->children.clear();
    }
}

const ConfigElement* ConfigElement::find_child(const char* wanted) const
{
    for (const auto& child : children)
        if (child->name == wanted)
            return child.get();
    return nullptr;
}

const ConfigElement* ConfigElement::find_next_named(const ConfigElement* child) const
{
    size_t i = 0;
    while (i < children.size() && children[i].get() != child)
        ++i;
    for (++i; i < children.size(); ++i)
        if (children[i]->name == child->name)
            return children[i].get();
    return nullptr;
}

const ConfigAttribute* ConfigElement::find_attribute(const char* wanted) const
{
    for (const auto& attribute : attributes)
        if (attribute->name == wanted)
            return attribute.get();
    return nullptr;
}

void ConfigFile::on_start(void* user, const char* name, const char** attributes)
{
    auto* self = static_cast<ConfigFile*>(user);
    auto element = std::make_unique<ConfigElement>();
    element->name = name;
    element->parent = self->current_;
    for (const char** a = attributes; a[0]; a += 2)
        element->attributes.push_back(std::make_unique<ConfigAttribute>(ConfigAttribute{a[0], a[1]}));
    ConfigElement* raw = element.get();
    if (!self->root_)
        self->root_ = std::move(element);
    else
        self->current_->children.push_back(std::move(element));
    self->current_ = raw;
}

void ConfigFile::on_end(void* user, const char*)
{
    auto* self = static_cast<ConfigFile*>(user);
    self->current_ = self->current_->parent;
}

bool ConfigFile::load_xml_file(const char* file_name)
{
    FILE* file = std::fopen(file_name, "rb");
    if (!file) {
        std::fprintf(stderr, "xml: error opening xml file: %s\n", file_name);
        return false;
    }
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (!parser) {
        std::fprintf(stderr, "xml: Couldn't allocate memory for parser\n");
        std::fclose(file);
        return false;
    }
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) {
        size = std::ftell(file);
        std::fseek(file, 0, SEEK_SET);
    }
    // A file we cannot size or read whole counts as one we cannot open.
    if (size < 0 || size > INT32_MAX) {
        std::fprintf(stderr, "xml: error opening xml file: %s\n", file_name);
        XML_ParserFree(parser);
        std::fclose(file);
        return false;
    }
    void* buffer = XML_GetBuffer(parser, int(size));
    size_t got = buffer && size > 0 ? std::fread(buffer, 1, size_t(size), file) : 0;
    std::fclose(file);
    if ((!buffer && size > 0) || got != size_t(size)) {
        std::fprintf(stderr, "xml: error opening xml file: %s\n", file_name);
        XML_ParserFree(parser);
        return false;
    }
    XML_SetUserData(parser, this);
    XML_SetElementHandler(parser, on_start, on_end);
    // A new tree, never one grafted onto an earlier file's.
    root_.reset();
    current_ = nullptr;
    // Expat hands out no buffer for an empty file; parsing no bytes still
    // gives its own "no element found".
    bool ok = (buffer ? XML_ParseBuffer(parser, int(size), 1) : XML_Parse(parser, "", 0, 1)) != XML_STATUS_ERROR;
    if (!ok)
        std::fprintf(stderr, "xml: Parse error at line %d:\n%s\n",
                     int(XML_GetCurrentLineNumber(parser)),
                     XML_ErrorString(XML_GetErrorCode(parser)));
    XML_ParserFree(parser);
    return ok;
}

int ConfigFile::load()
{
    return load_xml_file(FILE_NAME) ? 0 : -1;
}

// Decimal text to int as atoi reads it, but clamped instead of undefined on
// overflow: leading blanks, an optional sign, digits up to the first other.
static int to_int(const std::string& text)
{
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return int(v);
}

const ConfigElement* ConfigFile::server(const char* type) const
{
    if (!root_)
        return nullptr;
    for (const ConfigElement* e = root_->find_child("Server"); e; e = root_->find_next_named(e)) {
        const ConfigAttribute* t = e->find_attribute("Type");
        if (t && t->value == type)
            return e;
    }
    return nullptr;
}

std::vector<const ConfigElement*> ConfigFile::servers(const char* type) const
{
    std::vector<const ConfigElement*> found;
    for (const ConfigElement* e = server(type); e; e = root_->find_next_named(e)) {
        const ConfigAttribute* t = e->find_attribute("Type");
        if (t && t->value == type)
            found.push_back(e);
    }
    return found;
}

const ConfigElement* ConfigFile::section(const char* name) const
{
    return root_ ? root_->find_child(name) : nullptr;
}

const ConfigAttribute* ConfigFile::server_attribute(const char* type, const char* key) const
{
    const ConfigElement* element = server(type);
    return element ? element->find_attribute(key) : nullptr;
}

const ConfigAttribute* ConfigFile::section_attribute(const char* name, const char* key) const
{
    const ConfigElement* element = section(name);
    return element ? element->find_attribute(key) : nullptr;
}

const char* ConfigFile::server_string(const char* type, const char* key, const char* fallback) const
{
    const ConfigAttribute* a = server_attribute(type, key);
    return a ? a->value.c_str() : fallback;
}

int ConfigFile::server_int(const char* type, const char* key, int fallback) const
{
    const ConfigAttribute* a = server_attribute(type, key);
    return a ? to_int(a->value) : fallback;
}

const char* ConfigFile::section_string(const char* section, const char* key, const char* fallback) const
{
    const ConfigAttribute* a = section_attribute(section, key);
    return a ? a->value.c_str() : fallback;
}

int ConfigFile::section_int(const char* section, const char* key, int fallback) const
{
    const ConfigAttribute* a = section_attribute(section, key);
    return a ? to_int(a->value) : fallback;
}

LogSettings ConfigFile::log_settings() const
{
    return {section_string("Log", "File", "orva.log"), section_int("Log", "Level", 4)};
}

bool parse_whole_number(const char* text, int max, int& value)
{
    if (!text || !*text)
        return false;
    long long v = 0;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        v = v * 10 + (*c - '0');
        if (v > max)
            return false;
    }
    value = static_cast<int>(v);
    return true;
}
