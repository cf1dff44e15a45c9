// Feeds two arbitrary settings files to the updater's settings carry-over: the settings of the
// new package and the saved settings of the installed module.
#include "grafter/settings_merge.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
std::string dir;

void require(bool condition)
{
    if (!condition)
        abort();
}

void write_all(const std::string& path, const std::string& content)
{
    FILE* f = fopen(path.c_str(), "w");
    require(f != nullptr);
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
}

std::string read_all(const std::string& path)
{
    std::string content;
    FILE* f = fopen(path.c_str(), "r");
    require(f != nullptr);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        content.append(buffer, n);
    fclose(f);
    return content;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char templ[] = "/dev/shm/qm_fuzz_merge.XXXXXX";
    require(mkdtemp(templ) != nullptr);
    dir = templ;
    // The directory goes with the fuzzer.
    atexit([] { (void)!system(("rm -rf " + dir).c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::string new_content = provider.ConsumeRandomLengthString(size);
    const std::string old_content = provider.ConsumeRemainingBytesAsString();
    const std::string new_path = dir + "/settings";
    const std::string old_path = dir + "/settings.old";
    write_all(new_path, new_content);
    write_all(old_path, old_content);

    int changed = merge_settings(new_path.c_str(), old_path.c_str());
    require(changed >= 0);
    // The new settings file is never lost, and the saved one never touched.
    struct stat st;
    require(stat(new_path.c_str(), &st) == 0);
    require(read_all(old_path) == old_content);
    if (changed == 0)
        require(read_all(new_path) == new_content);
    unlink(new_path.c_str());
    unlink(old_path.c_str());
    return 0;
}
