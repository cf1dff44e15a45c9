#include "common/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

void sync_directory(const std::string& path)
{
    int fd = open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
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
    size_t slash = path.rfind('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    temp_path = directory_of(path) + "/." + base + ".XXXXXX";
    std::vector<char> templ(temp_path.begin(), temp_path.end());
    templ.push_back('\0');
    // mkstemp creates the file with mode 0600; widen it only after that, so a private key
    // is never readable by others.
    int fd = mkostemp(templ.data(), O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    temp_path = templ.data();
    if (fchmod(fd, perms) != 0) {
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

int atomic_file_commit(FILE* file, const std::string& temp_path, const std::string& path)
{
    bool ok = fflush(file) == 0 && !ferror(file);
    ok = ok && fsync(fileno(file)) == 0;
    ok = (fclose(file) == 0) && ok;
    ok = ok && rename(temp_path.c_str(), path.c_str()) == 0;
    if (!ok) {
        int saved = errno;
        unlink(temp_path.c_str());
        errno = saved;
        return -1;
    }
    sync_directory(path);
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
        return atomic_file_commit(f, temp, path);
    }
    FILE* f = fopen(path.c_str(), mode);
    if (!f)
        throw GenericError(std::string("Failed to open file [") + mode + "]: '" + path + "': " + strerror(errno));
    fwrite(text, 1, length, f);
    return fclose(f);
}
