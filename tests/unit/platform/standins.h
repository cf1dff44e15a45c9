// Control of the sandbox's firmware stand-ins (/var/sandbox) for the platform tests.
#pragma once

#include "common/system.h"
#include "support/test_support.h"

#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace standins
{
const std::string DIR = "/var/sandbox";

// The output of `status -v <section>`; the exit status stays as configured.
inline void status_section(const std::string& section, const std::string& text)
{
    write_file(DIR + "/status/" + section, text);
}
inline void status_rc(const std::string& section, int rc)
{
    if (rc == 0)
        unlink((DIR + "/status/" + section + ".rc").c_str());
    else
        write_file(DIR + "/status/" + section + ".rc", std::to_string(rc) + "\n");
}
inline void status_missing(const std::string& section)
{
    unlink((DIR + "/status/" + section).c_str());
}
// Runs of the status tool for `section` so far.
inline int status_runs(const std::string& section)
{
    std::string calls = read_file(DIR + "/calls/status");
    int count = 0;
    size_t at = 0;
    while (at < calls.size()) {
        size_t end = calls.find('\n', at);
        if (end == std::string::npos)
            end = calls.size();
        if (calls.compare(at, end - at, section) == 0 && end - at == section.size())
            ++count;
        at = end + 1;
    }
    return count;
}
inline void openvpnd_version(const std::string& version)
{
    if (version.empty())
        unlink((DIR + "/openvpnd.version").c_str());
    else
        write_file(DIR + "/openvpnd.version", version + "\n");
}
} // namespace standins
