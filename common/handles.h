// The owners of what must be released on every path: descriptors, FILE and DIR handles, and the
// atomic replacement of a file. cJSON trees have json_ptr (common/json_ptr.h).
#pragma once

#include <cstdio>
#include <dirent.h>
#include <memory>
#include <string>
#include <sys/types.h>

struct file_closer {
    void operator()(FILE* f) const noexcept { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

struct dir_closer {
    void operator()(DIR* d) const noexcept { closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

// A descriptor (-1 when closed); destroying the owner closes it. Closing keeps errno as it was,
// so a failure's reason survives the clean-up.
struct fd_owner {
    int fd = -1;

    fd_owner() = default;
    explicit fd_owner(int descriptor)
        : fd(descriptor)
    {
    }
    ~fd_owner() { close(); }
    fd_owner(const fd_owner&) = delete;
    fd_owner& operator=(const fd_owner&) = delete;
    fd_owner(fd_owner&& other) noexcept
        : fd(other.fd)
    {
        other.fd = -1;
    }
    fd_owner& operator=(fd_owner&& other) noexcept;

    // Gives the descriptor up without closing it.
    int release();
    void close();
};

// The atomic replacement of a file: the content goes to a temporary file that commit() flushes,
// syncs and renames over the file, then syncs the directory. A power cut leaves the old file or
// the new one, never half of one. An owner destroyed without a successful commit removes its
// temporary file and leaves the old file untouched.
class atomic_file
{
public:
    // The temporary file lies beside the file it replaces. When `path` is a symbolic link the
    // file replaced is the one at the end of the link chain (created when the chain ends at a
    // missing name in an existing directory); the link stays. The replacement has the owner and
    // mode of the file it replaces, except that a private writer (`perms` without group or other
    // bits) never makes a file wider than `perms`; a new file gets `perms` from the first moment
    // it exists.
    explicit atomic_file(const std::string& path, mode_t perms = 0644);

    // The staging form: the temporary file lies in `temp_dir` (on the file system of `path`, but
    // outside its directory, so that nobody listing that directory ever sees a partial file), the
    // file gets exactly `perms`, and whatever is at `path` is replaced, a link too: it is never
    // followed.
    atomic_file(const std::string& path, mode_t perms, const std::string& temp_dir);

    ~atomic_file();
    atomic_file(const atomic_file&) = delete;
    atomic_file& operator=(const atomic_file&) = delete;

    // Null (errno set) when the temporary file could not be made.
    FILE* get() const { return file_; }
    explicit operator bool() const { return file_ != nullptr; }

    // 0 when the new content is in place; -1 (errno set) when anything failed: the temporary
    // file is gone and the old file untouched.
    int commit();

private:
    void open_temp(std::string templ, mode_t perms, bool keep_owner_and_mode);

    FILE* file_ = nullptr;
    std::string target_;
    std::string temp_path_;
};
