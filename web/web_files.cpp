#include "web/web_files.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "web/web_page_data.h"

namespace {

constexpr char FONT[] = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";
constexpr char FONT_BOLD[] = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono-Bold.ttf";

// The library's entry point, as its package names it.
constexpr char ENTRY_MODULE[] = "public/Terminal";

// Resolves a module's relative require against its own folder.
constexpr char LOADER[] = R"js(
  var cache = {};
  function resolve(from, name) {
    var parts = from.split("/"); parts.pop();
    name.split("/").forEach(function (p) {
      if (p === "..") parts.pop(); else if (p !== ".") parts.push(p);
    });
    var path = parts.join("/");
    return modules[path] ? path : path + "/index";
  }
  function load(path) {
    if (cache[path]) return cache[path].exports;
    var module = cache[path] = { exports: {} };
    modules[path].call(module.exports, function (name) { return load(resolve(path, name)); },
                       module, module.exports);
    return module.exports;
  }
)js";

bool read_file(const std::string& path, std::string& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return bool(in) || in.eof();
}

}

std::string bundle_terminal_library(const std::string& dir)
{
    namespace fs = std::filesystem;
    std::error_code failed;
    std::vector<std::string> names;
    for (fs::recursive_directory_iterator it(dir, failed), end; !failed && it != end; it.increment(failed)) {
        const std::string path = it->path().string();
        const std::string relative = path.substr(dir.size() + 1);
        const bool script = relative.size() > 3 && relative.compare(relative.size() - 3, 3, ".js") == 0;
        const bool test = relative.find(".test.") != std::string::npos || relative.compare(0, 7, "addons/") == 0;
        if (it->is_regular_file() && script && !test)
            names.push_back(relative);
    }
    std::sort(names.begin(), names.end());
    std::string out = "(function () {\n  var modules = {};\n";
    bool entry = false;
    for (const std::string& name : names) {
        std::string body;
        if (!read_file(dir + "/" + name, body))
            continue;
        const std::string id = name.substr(0, name.size() - 3);
        entry = entry || id == ENTRY_MODULE;
        out += "  modules[\"" + id + "\"] = function (require, module, exports) {\n" + body + "\n};\n";
    }
    if (!entry)
        return std::string();
    out += LOADER;
    out += "  window.Terminal = load(\"" + std::string(ENTRY_MODULE) + "\").Terminal;\n})();\n";
    return out;
}

void WebFiles::load(const std::string& library_dir, std::string& missing)
{
    missing.clear();
    files_["/"] = {"text/html; charset=utf-8", std::string(WEB_PAGE_INDEX_HTML, WEB_PAGE_INDEX_HTML_SIZE)};
    files_["/orva-terminal.js"] = {"text/javascript; charset=utf-8",
                                   std::string(WEB_PAGE_ORVA_TERMINAL_JS, WEB_PAGE_ORVA_TERMINAL_JS_SIZE)};
    files_["/orva-terminal.css"] = {"text/css; charset=utf-8",
                                    std::string(WEB_PAGE_ORVA_TERMINAL_CSS, WEB_PAGE_ORVA_TERMINAL_CSS_SIZE)};
    WebFile library{"text/javascript; charset=utf-8", bundle_terminal_library(library_dir)};
    if (library.body.empty())
        missing += " " + library_dir;
    else
        files_["/xterm.js"] = std::move(library);
    const std::pair<const char*, WebFile> system[] = {
        {"/xterm.css", {"text/css; charset=utf-8", library_dir + "/xterm.css"}},
        {"/DejaVuSansMono.ttf", {"font/ttf", FONT}},
        {"/DejaVuSansMono-Bold.ttf", {"font/ttf", FONT_BOLD}},
    };
    for (const auto& [path, file] : system) {
        WebFile read{file.content_type, std::string()};
        if (read_file(file.body, read.body))
            files_[path] = std::move(read);
        else
            missing += std::string(" ") + file.body;
    }
}

const WebFile* WebFiles::find(const std::string& path) const
{
    auto it = files_.find(path);
    return it == files_.end() ? nullptr : &it->second;
}
