// The configuration loader on arbitrary file contents: the bytes go to a
// file and through load_xml_file, the path start-up takes, and every lookup
// start-up makes is then asked of whatever tree came out.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "config/config_file.h"
#include "fuzz/fuzz_records.h"
#include "calls/access_settings.h"
#include "ipx/ipx_settings.h"
#include "link/board_settings.h"
#include "status/status_settings.h"

namespace {
std::string file_path;

void remove_file() { unlink(file_path.c_str()); }

bool write_file(const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(file_path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

// Every element's children point back at it: the handlers built the tree
// they were given. Returns the number of elements.
size_t check_tree(const ConfigElement* root)
{
    FUZZ_CHECK(root->parent == nullptr);
    size_t count = 0;
    std::vector<const ConfigElement*> pending{root};
    while (!pending.empty()) {
        ++count;
        const ConfigElement* e = pending.back();
        pending.pop_back();
        for (const auto& child : e->children) {
            FUZZ_CHECK(child->parent == e);
            FUZZ_CHECK(e->find_child(child->name.c_str()) != nullptr);
            pending.push_back(child.get());
        }
        for (const auto& a : e->attributes)
            FUZZ_CHECK(e->find_attribute(a->name.c_str()) != nullptr);
    }
    return count;
}
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    file_path = std::string(dir) + "/orva-config-fuzz-" + std::to_string(getpid()) + ".xml";
    std::atexit(remove_file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!write_file(data, size))
        std::abort(); // the harness itself failed, not the loader
    ConfigFile config;
    bool loaded = config.load_xml_file(file_path.c_str());
    size_t elements = config.root() ? check_tree(config.root()) : 0;
    // Loading the same file again gives the same tree, not a larger one.
    FUZZ_CHECK(config.load_xml_file(file_path.c_str()) == loaded);
    FUZZ_CHECK((config.root() ? check_tree(config.root()) : 0) == elements);
    if (!loaded)
        return 0;
    FUZZ_CHECK(config.root() != nullptr);
    // What start-up and the subsystems ask for.
    LogSettings log = config.log_settings();
    FUZZ_CHECK(log.file != nullptr);
    const char* types[] = {"Telnet", "KELB", "IPX", "SAP", ""};
    const char* keys[] = {"IP", "Port", "Name", "Type", ""};
    for (const char* type : types)
        for (const char* key : keys) {
            const char* text = config.server_string(type, key, "fallback");
            FUZZ_CHECK(text != nullptr);
            (void)config.server_int(type, key, 23);
            (void)config.section_string(type, key, nullptr);
            (void)config.section_int(type, key, -1);
        }
    // Every element is read whole or refused in one form naming the element.
    AccessSettings access;
    std::string error;
    if (!read_access_settings(config, access, error))
        FUZZ_CHECK(error.rfind("Access ", 0) == 0 && error.find("\" is not ") != std::string::npos);
    else
        FUZZ_CHECK(access.max_per_address >= 0 && access.rate_per_minute >= 0 && access.ban_seconds >= 0 &&
                   access.max_calls >= 0);
    BoardSettings board;
    if (!read_board_settings(config, board, error))
        FUZZ_CHECK(error.rfind("Board ", 0) == 0 && error.find("\" is not ") != std::string::npos);
    IpxSettings ipx;
    if (!read_ipx_settings(config, ipx, error))
        FUZZ_CHECK(error.rfind("Server Type=\"IPX\" ", 0) == 0);
    else
        FUZZ_CHECK(ipx.port >= 1 && ipx.port <= 65535);
    StatusSettings status;
    if (!read_status_settings(config, status, error))
        FUZZ_CHECK(error.rfind("Server Type=\"Status\" ", 0) == 0);
    else
        FUZZ_CHECK(status.port >= 1 && status.port <= 65535);
    return 0;
}
