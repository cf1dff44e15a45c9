// Helpers of the fuzz targets that hand their input to code reading files: a scratch directory
// in shared memory that goes with the fuzzer, and whole-file writes and reads that abort (a
// finding) when the file system fails them.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace fuzz
{

inline void require(bool condition)
{
    if (!condition)
        abort();
}

// Makes /dev/shm/<prefix>.XXXXXX; it is removed when the fuzzer exits.
inline std::string scratch_dir(const char* prefix)
{
    static std::string dir;
    std::string templ = std::string("/dev/shm/") + prefix + ".XXXXXX";
    require(mkdtemp(templ.data()) != nullptr);
    dir = templ;
    atexit([] { (void)!system(("rm -rf " + dir).c_str()); });
    return dir;
}

inline void write_all(const std::string& path, const std::string& content)
{
    FILE* f = fopen(path.c_str(), "w");
    require(f != nullptr);
    require(fwrite(content.data(), 1, content.size(), f) == content.size());
    require(fclose(f) == 0);
}

inline std::string read_all(const std::string& path)
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

} // namespace fuzz
