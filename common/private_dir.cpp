#include "common/private_dir.h"

#include "common/log.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr int REMOVE_DEPTH_MAX = 64;

// Removes every entry below the open directory `dir_fd`, working only through descriptors
// opened without following links: a directory that another user swaps for a link meanwhile is
// left (or its link removed), never followed. rm -rf does not promise that everywhere (busybox's
// works path by path).
bool remove_entries(int dir_fd, int depth)
{
    if (depth > REMOVE_DEPTH_MAX)
        return false;
    std::vector<std::string> names;
    {
        int list_fd = dup(dir_fd);
        DIR* listing = list_fd >= 0 ? fdopendir(list_fd) : nullptr;
        if (!listing) {
            if (list_fd >= 0)
                close(list_fd);
            return false;
        }
        while (struct dirent* entry = readdir(listing)) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                names.push_back(entry->d_name);
        }
        closedir(listing);
    }
    bool ok = true;
    for (const std::string& name : names) {
        if (unlinkat(dir_fd, name.c_str(), 0) == 0)
            continue;
        int sub = openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0) {
            ok = false;
            continue;
        }
        ok = remove_entries(sub, depth + 1) && ok;
        close(sub);
        ok = unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) == 0 && ok;
    }
    return ok;
}

} // namespace

bool claim_private_dir(const std::string& path, bool create)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT || !create)
            return false;
        // mkdir fails when anything appeared at the path meanwhile, so what it makes is ours.
        if (mkdir(path.c_str(), 0700) != 0) {
            qm_log(LOG_ERR, "Not able to create directory %s: %s", path.c_str(), strerror(errno));
            return false;
        }
        return true;
    }
    if (S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return true;
    const bool removed = remove_tree(path);
    qm_log(LOG_ERR, "Refused %s: it is not a directory that only root can write. %s", path.c_str(),
        removed ? "Removed it." : "Not able to remove it.");
    return false;
}

bool remove_tree(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(st.st_mode))
        return unlink(path.c_str()) == 0;
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = remove_entries(fd, 0);
    close(fd);
    return rmdir(path.c_str()) == 0 && ok;
}
