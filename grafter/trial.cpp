#include "grafter/trial.h"

#include "common/error.h"
#include "common/file_util.h"
#include "common/log.h"
#include "common/private_dir.h"
#include "common/system.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <stdio.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr long default_trial_seconds = 600;

bool inode_of(const std::string& path, unsigned long& inode)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    inode = static_cast<unsigned long>(st.st_ino);
    return true;
}

// The value of KEY= in a file of KEY=VALUE lines (quotes dropped); empty when absent.
std::string value_of(const std::string& path, const std::string& key)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, key.size() + 1, key + "=") == 0) {
            std::string value = line.substr(key.size() + 1);
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            return value;
        }
    return std::string();
}

// Makes the renames in /opt last across a power cut (flash file systems need the directory synced).
void sync_opt()
{
    int fd = open("/opt", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// What the new module's install script changed outside its tree (the DS certificate it pins)
// is set back by the old module's own install script, which may run any number of times.
void run_install(const std::string& target)
{
    const std::string install = target + "/etc/install";
    if (file_exists(install))
        run_shell(install);
}

// The guard of etc/init during a trial; @NAME@ is the module's name.
const char* const TRIAL_GUARD = R"GUARD(#!/bin/sh
# Put here by grafter while an update of @NAME@ is on trial: the module's own init script is
# etc/init.on_trial. The router runs this at boot, so a new init that cannot start the module, or
# a trial that ran out while the router was off, gives the kept module back.
INIT=/opt/@NAME@/etc/init
OWN=$INIT.on_trial
TRIAL=/opt/.@NAME@.trial
if [ ! -f "$TRIAL" ]; then
    # The trial is over: the own init takes this place again (unless a start or the commit did
    # so already, even while this one looked).
    [ ! -e "$OWN" ] || mv -f "$OWN" "$INIT" 2>/dev/null || [ ! -e "$OWN" ] || exit 1
    grep -q '^OWN=$INIT.on_trial$' "$INIT" && exit 1
    exec "$INIT" "$@"
fi
# The own init runs as if it stood here: a shell script is read in (so that its processes show in
# ps as $INIT, as they always do), anything else is run.
read -r first 2>/dev/null <"$OWN"
own() {
    if [ "$first" = "#!/bin/sh" ]; then (. "$OWN"); else "$OWN" "$@"; fi
}
if [ "$1" != start ]; then
    [ "$first" = "#!/bin/sh" ] && { . "$OWN"; exit $?; }
    exec "$OWN" "$@"
fi
deadline=$(sed -n 's/^DEADLINE=\([0-9][0-9]*\)$/\1/p' "$TRIAL")
expired=
if [ "$(date +%s)" -lt "${deadline:-0}" ]; then
    own start && exit 0
    why="the init script of the new module failed"
    own stop
else
    why="the trial had run out at start"
    expired=1
fi
for grafter in /opt/.@NAME@.prev/bin/grafter /opt/quillmesh/bin/grafter; do
    [ -x "$grafter" ] || continue
    "$grafter" --rollback @NAME@ "$why" && exec "$INIT" start
    [ $? -eq 2 ] && exit 1 # grafter is at work on the module: the trial is its to decide
done
# Within the trial a failed start keeps the marker: the grafter that ran the start, or the next
# start, may still roll back. A trial that has run out and cannot be rolled back ends, and the new
# module stays: kept down, it could never be given a fix again. Without the marker the own init
# takes this place back and starts.
[ -n "$expired" ] || exit 1
logger -t @NAME@-supervisor -p daemon.err "The module update cannot be rolled back ($why); the new module stays."
rm -f "$TRIAL"
exec "$INIT" "$@"
)GUARD";

bool to_number(const std::string& text, long& value)
{
    if (text.empty() || text.size() > 18)
        return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    value = std::strtol(text.c_str(), nullptr, 10);
    return true;
}
} // namespace

std::string update_trial_marker_path(const std::string& name)
{
    return "/opt/." + name + ".trial";
}

std::string kept_tree_path(const std::string& name)
{
    return "/opt/." + name + ".prev";
}

bool read_update_trial(const std::string& name, update_trial& marker)
{
    const std::string path = update_trial_marker_path(name);
    long inode = 0;
    marker.kept = value_of(path, "KEPT");
    if (marker.kept != kept_tree_path(name) || !to_number(value_of(path, "KEPT_INODE"), inode)
        || !to_number(value_of(path, "START"), marker.start) || !to_number(value_of(path, "DEADLINE"), marker.deadline))
        return false;
    marker.kept_inode = static_cast<unsigned long>(inode);
    return true;
}

bool write_update_trial(const std::string& name, const update_trial& marker)
{
    const std::string text = "KEPT=" + marker.kept + "\nKEPT_INODE=" + std::to_string(marker.kept_inode)
        + "\nSTART=" + std::to_string(marker.start) + "\nDEADLINE=" + std::to_string(marker.deadline) + "\n";
    try {
        return string_to_file(text, update_trial_marker_path(name), "w", 0600) == 0;
    } catch (const GenericError&) {
        return false;
    }
}

bool put_trial_guard(const std::string& tree, const std::string& name)
{
    const std::string init = tree + "/etc/init";
    if (!file_exists(init))
        return true;
    std::string guard = TRIAL_GUARD;
    for (size_t at; (at = guard.find("@NAME@")) != std::string::npos;)
        guard.replace(at, 6, name);
    try {
        return rename(init.c_str(), (init + ".on_trial").c_str()) == 0 && string_to_file(guard, init, "w", 0755) == 0;
    } catch (const GenericError&) {
        return false;
    }
}

long trial_seconds(const std::string& name, const std::string& old_settings, const std::string& new_settings)
{
    std::string key = "MOD_";
    for (char c : name)
        key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    key += "_UPDATE_TRIAL";
    long seconds = 0;
    if (to_number(value_of(old_settings, key), seconds) && seconds > 0)
        return seconds;
    if (to_number(value_of(new_settings, key), seconds) && seconds > 0)
        return seconds;
    return default_trial_seconds;
}

bool exchange_trees(const std::string& a, const std::string& b)
{
    if (renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    const std::string aside = a + ".old";
    remove_tree(aside);
    if (rename(b.c_str(), aside.c_str()) != 0)
        return false;
    if (rename(a.c_str(), b.c_str()) != 0) {
        const int error = errno;
        rename(aside.c_str(), b.c_str());
        errno = error;
        return false;
    }
    if (rename(aside.c_str(), a.c_str()) != 0)
        qm_log(LOG_ERR, "Failed to move %s to %s: %s", aside.c_str(), a.c_str(), strerror(errno));
    return true;
}

bool lock_module_changes(fd_owner& lock, bool wait)
{
    lock = fd_owner(open("/opt/.grafter.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (lock.fd < 0)
        return true;
    while (flock(lock.fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0)
        if (errno != EINTR)
            return errno != EWOULDBLOCK;
    return true;
}

int rollback_module(const std::string& name, const std::string& why)
{
    const std::string target = "/opt/" + name;
    const std::string kept = kept_tree_path(name);
    const std::string marker_path = update_trial_marker_path(name);
    fd_owner lock;
    if (!lock_module_changes(lock, false)) {
        qm_log(LOG_NOTICE, "Update of %s not rolled back: grafter is at work on it.", name.c_str());
        return 2;
    }
    update_trial marker;
    if (!read_update_trial(name, marker)) {
        qm_log(LOG_ERR, "No update of %s on trial to roll back.", name.c_str());
        return 1;
    }
    unsigned long inode = 0;
    if (inode_of(target, inode) && inode == marker.kept_inode) {
        // The update was cut off before its swap: the old module never left.
        unsigned long staged = 0;
        if (inode_of(kept, staged) && staged != marker.kept_inode)
            remove_tree(kept);
        run_install(target);
        remove(marker_path.c_str());
        sync_opt();
        qm_log(LOG_NOTICE, "Update of %s did not complete; the old module stays.", name.c_str());
        return 0;
    }
    if (!inode_of(kept, inode) || inode != marker.kept_inode) {
        qm_log(LOG_ERR, "Update of %s cannot be rolled back: the kept tree %s is missing.", name.c_str(), kept.c_str());
        return 1;
    }
    if (!exchange_trees(kept, target)) {
        qm_log(LOG_ERR, "Update of %s cannot be rolled back: %s", name.c_str(), strerror(errno));
        return 1;
    }
    sync_opt();
    qm_log(LOG_WARNING, "Module update rolled back (%s).", why.c_str());
    run_install(target);
    // The marker goes last: until then a rollback cut off here is completed by the next one.
    remove_tree(kept);
    remove(marker_path.c_str());
    sync_opt();
    return 0;
}
