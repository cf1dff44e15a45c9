// Feeds arbitrary files to the key=value settings readers: the key-by-key reader over an open
// handle and the whole-file reader into a dictionary. A value written by the writer reads back
// unchanged when it is a value the writer can hold (one line, no double quote).
#include "common/settings_file.h"
#include "fuzz/scratch_files.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace
{
using fuzz::require;
using fuzz::write_all;
std::string dir;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    dir = fuzz::scratch_dir("qm_fuzz_settings");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string content(reinterpret_cast<const char*>(data), size);
    const std::string path = dir + "/settings";
    write_all(path, content);

    // Every key the file names (the text before a '=' of each line), and a few fixed ones.
    file_ptr file = settings_open(path.c_str());
    FILE* f = file.get();
    require(f != nullptr);
    size_t start = 0;
    int lookups = 0;
    while (start < content.size() && lookups < 64) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        std::string line = content.substr(start, end - start);
        size_t eq = line.find('=');
        if (eq != std::string::npos && line.find('\0') == std::string::npos) {
            std::string key = line.substr(0, eq);
            settings_get_text(f, key.c_str());
            settings_get_uint(f, key.c_str());
            ++lookups;
        }
        start = end + 1;
    }
    for (const char* key : { "MOD_QUILLMESH_DS_PORT", "QUILLMESH_REMOTE_IPADDR", "", "=" })
        settings_get_text(f, key);
    rewind(f);
    while (settings_find(f, "MOD_QUILLMESH_SYSLOG_LEVEL")) { }
    file.reset();

    settings_map map;
    require(settings_load_map(path, map));
    for (const auto& pair : map) {
        for (char c : pair.first + pair.second)
            require(c != ' ' && c != '\t' && c != '\n' && c != '\r');
    }

    // The writer and the reader agree on any one-line value without a double quote.
    std::string value = content.substr(0, 15000);
    if (value.find_first_of("\r\n\"", 0) == std::string::npos && value.find('\0') == std::string::npos) {
        atomic_file w(path, 0644);
        require(static_cast<bool>(w));
        settings_put_text(w.get(), "QUILLMESH_KEY", value);
        settings_put_uint(w.get(), "QUILLMESH_NUMBER", static_cast<unsigned>(size), true);
        require(w.commit() == 0);
        file_ptr r = settings_open(path.c_str());
        require(r != nullptr);
        require(settings_get_text(r.get(), "quillmesh_key") == value);
        require(settings_get_uint(r.get(), "QUILLMESH_NUMBER") == size);
    }
    unlink(path.c_str());
    return 0;
}
