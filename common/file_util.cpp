#include "common/file_util.h"

#include "common/error.h"
#include "common/handles.h"
#include "common/log.h"
#include "common/system.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

std::string directory_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

namespace
{
std::string name_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void sync_directory(const std::string& path)
{
    int fd = open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        sync_to_storage(fd);
        close(fd);
    }
}

// The file a save replaces. A path that is not a symbolic link is taken as it is. A link (the
// firmware links settings into persistent storage) is followed to the file at the end of its
// chain, so the save reaches that file and the link stays; a chain that ends at a name not yet
// there gives that name, provided its directory exists. Empty, with errno set, when the chain
// cannot be followed.
std::string replacement_target(const std::string& path)
{
    std::string current = path;
    for (int hops = 0;; ++hops) {
        struct stat st;
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            break;
        if (hops == 40) {
            errno = ELOOP;
            return std::string();
        }
        std::vector<char> link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
        ssize_t n = readlink(current.c_str(), link.data(), link.size());
        if (n < 0)
            return std::string();
        if (static_cast<size_t>(n) >= link.size()) { // the link changed under us
            errno = EAGAIN;
            return std::string();
        }
        std::string next(link.data(), static_cast<size_t>(n));
        current = next[0] == '/' ? next : directory_of(current) + "/" + next;
    }
    if (current == path)
        return path;
    char* directory = realpath(directory_of(current).c_str(), nullptr);
    if (!directory)
        return std::string();
    std::string target = std::string(directory) + "/" + name_of(current);
    free(directory);
    return target;
}

// The replacement keeps the owner and mode of the file it replaces (less write access for
// others), so a file an operator made private stays private. A private writer (no group or other
// bits in `perms`, as for keys) never widens the file beyond its own mode, and never writes a
// private file that belongs to another user (a key must not end up readable by whoever owns the
// file a link led to). A new file gets `perms`.
bool take_over_owner_and_mode(int fd, const std::string& target, mode_t perms)
{
    struct stat existing;
    if (stat(target.c_str(), &existing) != 0 || !S_ISREG(existing.st_mode))
        return fchmod(fd, perms) == 0;
    if ((perms & 077) == 0 && existing.st_uid != geteuid()) {
        errno = EPERM;
        return false;
    }
    // A file that root reads and acts on is never left writable by every local user.
    mode_t mode = existing.st_mode & 0777 & ~static_cast<mode_t>(S_IWOTH);
    if ((perms & 077) == 0)
        mode &= perms;
    struct stat own;
    // Only root may give a file away; a writer that may not keeps the file as its own.
    if (fstat(fd, &own) == 0 && (own.st_uid != existing.st_uid || own.st_gid != existing.st_gid))
        (void)!fchown(fd, existing.st_uid, existing.st_gid);
    return fchmod(fd, mode) == 0;
}
} // namespace

bool file_exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

int file_to_array(const char* path, char* buffer, size_t n)
{
    buffer[0] = '\0';
    FILE* f = fopen(path, "r");
    if (!f) {
        qm_log(LOG_ERR, "file_to_array: %s: %s", path, strerror(errno));
        return 0;
    }
    size_t count = fread(buffer, 1, n, f);
    fclose(f);
    if (count >= n)
        count = n - 1;
    buffer[count] = '\0';
    return static_cast<int>(count) - 1;
}

int fd_owner::release()
{
    int descriptor = fd;
    fd = -1;
    return descriptor;
}

void fd_owner::close()
{
    if (fd >= 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
    }
    fd = -1;
}

fd_owner& fd_owner::operator=(fd_owner&& other) noexcept
{
    if (this != &other) {
        close();
        fd = other.release();
    }
    return *this;
}

atomic_file::atomic_file(const std::string& path, mode_t perms)
{
    target_ = replacement_target(path);
    if (target_.empty())
        return;
    // The temporary file is named after the file it replaces: ".<name>.XXXXXX" beside it.
    open_temp(directory_of(target_) + "/." + name_of(target_) + ".XXXXXX", perms, true);
}

atomic_file::atomic_file(const std::string& path, mode_t perms, const std::string& temp_dir)
    : target_(path)
{
    open_temp(temp_dir + "/.qm_store.XXXXXX", perms, false);
}

void atomic_file::open_temp(std::string templ, mode_t perms, bool keep_owner_and_mode)
{
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    // mkstemp creates the file with mode 0600; widen it only after that, so a private key
    // is never readable by others.
    fd_owner fd(mkostemp(name.data(), O_CLOEXEC));
    if (fd.fd < 0)
        return;
    temp_path_ = name.data();
    bool ok = keep_owner_and_mode ? take_over_owner_and_mode(fd.fd, target_, perms) : fchmod(fd.fd, perms) == 0;
    if (ok)
        file_ = fdopen(fd.fd, "w");
    if (!file_) {
        int saved = errno;
        fd.close();
        unlink(temp_path_.c_str());
        temp_path_.clear();
        errno = saved;
        return;
    }
    fd.release();
}

atomic_file::~atomic_file()
{
    if (file_)
        fclose(file_);
    if (!temp_path_.empty())
        unlink(temp_path_.c_str());
}

int atomic_file::commit()
{
    if (!file_)
        return -1;
    FILE* file = file_;
    file_ = nullptr;
    bool ok = fflush(file) == 0 && !ferror(file);
    ok = ok && sync_to_storage(fileno(file)) == 0;
    ok = (fclose(file) == 0) && ok;
    ok = ok && rename(temp_path_.c_str(), target_.c_str()) == 0;
    if (!ok) {
        int saved = errno;
        unlink(temp_path_.c_str());
        temp_path_.clear();
        errno = saved;
        return -1;
    }
    temp_path_.clear();
    sync_directory(target_);
    return 0;
}

int string_to_file(const std::string& content, const std::string& path, const char* mode, mode_t perms)
{
    // The content counts up to its first NUL, as for a C text.
    const char* text = content.c_str();
    size_t length = strlen(text);
    if (strcmp(mode, "w") == 0) {
        atomic_file out(path, perms);
        if (!out)
            throw GenericError(std::string("Failed to open file [") + mode + "]: '" + path + "': " + strerror(errno));
        fwrite(text, 1, length, out.get());
        return out.commit();
    }
    FILE* f = fopen(path.c_str(), mode);
    if (!f)
        throw GenericError(std::string("Failed to open file [") + mode + "]: '" + path + "': " + strerror(errno));
    fwrite(text, 1, length, f);
    return fclose(f);
}
