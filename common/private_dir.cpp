#include "common/private_dir.h"

#include "common/log.h"
#include "common/system.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Removes whatever sits at `path` without following a link: a link or file is unlinked, a
// directory removed with its contents (rm does not follow the links inside, and the path has no
// trailing '/', so a link in its place would be removed itself).
void remove_planted(const std::string& path, const struct stat& st)
{
    if (S_ISDIR(st.st_mode))
        run_program({"rm", "-rf", "--", path});
    else
        unlink(path.c_str());
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
    qm_log(LOG_ERR, "Refused %s: it is not a directory that only root can write. Removed it.", path.c_str());
    remove_planted(path, st);
    return false;
}
