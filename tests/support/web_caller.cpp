#include "tests/support/web_caller.h"

#include <cstdlib>

namespace support {

namespace {

// Debian's, where python3-websockets is installed, not whatever is first on PATH.
const char PYTHON[] = "/usr/bin/python3";

}

std::unique_ptr<ChildProcess> start_web_call(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {PYTHON, ORVA_TEST_SUPPORT_DIR "/web_call_client.py"};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(argv);
}

std::unique_ptr<ChildProcess> start_web_page_driver()
{
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{PYTHON, ORVA_TEST_SUPPORT_DIR "/web_page_driver.py", "/usr/bin/chromium"});
}

std::string json_text(const std::string& json, const std::string& name)
{
    size_t at = json.find("\"" + name + "\": ");
    if (at == std::string::npos)
        return std::string();
    at += name.size() + 4;
    if (json[at] != '"')
        return json.substr(at, json.find_first_of(",}", at) - at);
    std::string out;
    for (size_t i = at + 1; i < json.size() && json[i] != '"'; ++i) {
        if (json[i] != '\\') {
            out += json[i];
            continue;
        }
        const char c = json[++i];
        if (c == 'u') {
            out += char(std::strtol(json.substr(i + 1, 4).c_str(), nullptr, 16));
            i += 4;
        } else {
            out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
        }
    }
    return out;
}

double json_value(const std::string& json, const std::string& name)
{
    const std::string text = json_text(json, name);
    return text.empty() || text == "null" ? -1 : std::atof(text.c_str());
}

}
