// Feeds two arbitrary settings files to the updater's settings carry-over: the settings of the
// new package and the saved settings of the installed module.
#include "fuzz/scratch_files.h"
#include "grafter/settings_merge.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
using fuzz::read_all;
using fuzz::require;
using fuzz::write_all;
std::string dir;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    dir = fuzz::scratch_dir("qm_fuzz_merge");
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
