// WebFiles: what the web listener serves besides the call: the page, its
// script and style (built into the program), and the terminal library and
// font, read from the system's packages at start-up.
#pragma once

#include <map>
#include <string>

struct WebFile {
    std::string content_type;
    std::string body;
};

class WebFiles {
public:
    // Builds the set: the page's own files, the terminal library bundled
    // from the modules in library_dir, its style and the font. Missing
    // system files are named in missing (the page then cannot show a
    // terminal, or falls back to another font); never fails.
    void load(const std::string& library_dir, std::string& missing);
    // The file served at path, or null.
    const WebFile* find(const std::string& path) const;

private:
    std::map<std::string, WebFile> files_;
};

// The terminal library's CommonJS modules under dir as one script for the
// page: each module wrapped in a function, with a small require that finds
// them by relative path; it defines window.Terminal. Empty when dir holds
// no modules.
std::string bundle_terminal_library(const std::string& dir);
