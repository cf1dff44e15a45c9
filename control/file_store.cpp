#include "control/file_store.h"

#include "common/file_util.h"
#include "common/handles.h"
#include "common/log.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

const char* const STORE_MODULE_DIR = "/tmp/vpn_module_tbd/module/";
const char* const STORE_CONFIG_DIR = "/tmp/vpn_module_tbd/config/";
const char* const STORE_SCRIPT_DIR = "/tmp/vpn_module_tbd/script/";

std::string base64_decode(const std::string& text)
{
    auto value_of = [](unsigned char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        return -1;
    };
    std::string out;
    out.reserve(text.size() / 4 * 3 + 2);
    uint32_t group = 0;
    int count = 0;
    for (unsigned char c : text) {
        int v = value_of(c);
        if (v < 0)
            break; // '=' or a character outside the alphabet ends the data
        group = (group << 6) | static_cast<uint32_t>(v);
        if (++count == 4) {
            out.push_back(static_cast<char>((group >> 16) & 0xff));
            out.push_back(static_cast<char>((group >> 8) & 0xff));
            out.push_back(static_cast<char>(group & 0xff));
            group = 0;
            count = 0;
        }
    }
    // A partial group of two or three characters carries one or two bytes; one carries none.
    if (count == 2) {
        out.push_back(static_cast<char>((group >> 4) & 0xff));
    } else if (count == 3) {
        out.push_back(static_cast<char>((group >> 10) & 0xff));
        out.push_back(static_cast<char>((group >> 2) & 0xff));
    }
    return out;
}

bool store_base64_file(const std::string& base64, const std::string& path)
{
    std::string bytes = base64_decode(base64);
    // The bytes go to a temporary file one directory above the destination and are renamed into
    // place once complete: the staged files are applied by listing their directory, so neither
    // a file that could not be written completely nor a temporary one may ever show up there.
    // The router's tools read staged files as any file they are handed (restore copies a
    // configuration file with its mode); the staging directory itself is what keeps them private.
    std::string dir = directory_of(path);
    atomic_file out(path, 0644, directory_of(dir.size() > 1 ? dir : path));
    if (!out) {
        qm_log(LOG_ERR, "store_base64_file: %s: %s", path.c_str(), strerror(errno));
        return false;
    }
    errno = 0;
    fwrite(bytes.data(), 1, bytes.size(), out.get());
    if (out.commit() != 0) {
        qm_log(LOG_ERR, "store_base64_file: %s: %s", path.c_str(), strerror(errno ? errno : EIO));
        return false;
    }
    return true;
}
