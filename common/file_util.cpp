#include "common/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/error.h"
#include "common/log.h"

namespace {
std::string directory_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string name_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void sync_directory(const std::string& path)
{
    int fd = open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
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
        if (static_cast<size_t>(n) >= link.size()) {  // the link changed under us
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

// The temporary file is named after the file it replaces: ".<name>.XXXXXX" beside it.
const size_t temp_suffix_length = 7;

std::string target_of_temp(const std::string& temp_path)
{
    std::string name = name_of(temp_path);
    return directory_of(temp_path) + "/" + name.substr(1, name.size() - 1 - temp_suffix_length);
}

// The replacement keeps the owner and mode of the file it replaces (less write access for
// others), so a file an operator made private stays private. A private writer (no group or other bits in `perms`, as for
// keys) never widens the file beyond its own mode. A new file gets `perms`.
bool take_over_owner_and_mode(int fd, const std::string& target, mode_t perms)
{
    struct stat existing;
    if (stat(target.c_str(), &existing) != 0 || !S_ISREG(existing.st_mode))
        return fchmod(fd, perms) == 0;
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
}  // namespace

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

FILE* atomic_file_begin(const std::string& path, mode_t perms, std::string& temp_path)
{
    std::string target = replacement_target(path);
    if (target.empty())
        return nullptr;
    temp_path = directory_of(target) + "/." + name_of(target) + ".XXXXXX";
    std::vector<char> templ(temp_path.begin(), temp_path.end());
    templ.push_back('\0');
    // mkstemp creates the file with mode 0600; widen it only after that, so a private key
    // is never readable by others.
    int fd = mkostemp(templ.data(), O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    temp_path = templ.data();
    if (!take_over_owner_and_mode(fd, target, perms)) {
        int saved = errno;
        close(fd);
        unlink(temp_path.c_str());
        errno = saved;
        return nullptr;
    }
    FILE* f = fdopen(fd, "w");
    if (!f) {
        int saved = errno;
        close(fd);
        unlink(temp_path.c_str());
        errno = saved;
    }
    return f;
}

int atomic_file_commit(FILE* file, const std::string& temp_path)
{
    std::string target = target_of_temp(temp_path);
    bool ok = fflush(file) == 0 && !ferror(file);
    ok = ok && fsync(fileno(file)) == 0;
    ok = (fclose(file) == 0) && ok;
    ok = ok && rename(temp_path.c_str(), target.c_str()) == 0;
    if (!ok) {
        int saved = errno;
        unlink(temp_path.c_str());
        errno = saved;
        return -1;
    }
    sync_directory(target);
    return 0;
}

void atomic_file_abort(FILE* file, const std::string& temp_path)
{
    if (file)
        fclose(file);
    unlink(temp_path.c_str());
}

int string_to_file(const std::string& content, const std::string& path, const char* mode, mode_t perms)
{
    // The content counts up to its first NUL, as for a C text.
    const char* text = content.c_str();
    size_t length = strlen(text);
    if (strcmp(mode, "w") == 0) {
        std::string temp;
        FILE* f = atomic_file_begin(path, perms, temp);
        if (!f)
            throw GenericError(std::string("Failed to open file [") + mode + "]: '" + path + "': " + strerror(errno));
        fwrite(text, 1, length, f);
        return atomic_file_commit(f, temp);
    }
    FILE* f = fopen(path.c_str(), mode);
    if (!f)
        throw GenericError(std::string("Failed to open file [") + mode + "]: '" + path + "': " + strerror(errno));
    fwrite(text, 1, length, f);
    return fclose(f);
}
