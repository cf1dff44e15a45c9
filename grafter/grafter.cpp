#include "grafter/grafter.h"

#include "common/file_util.h"
#include "common/handles.h"
#include "common/log.h"
#include "common/private_dir.h"
#include "common/system.h"
#include "common/validate.h"
#include "grafter/package_check.h"
#include "grafter/settings_merge.h"
#include "grafter/trial.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{
const char* const TMP_DIR = "/tmp";
// The work directory: a fresh name in /tmp for every run, made by mkdtemp with mode 0700.
const char* const WORK_PREFIX = "vpn_module.";
const size_t WORK_SUFFIX = 6; // the XXXXXX of mkdtemp's template
const char* const STAGING_DIR = "/tmp/vpn_module_tbd";
// The public key of the operator who signs packages, shipped in the module's own package.
const char* const SIGNING_KEY = "/opt/quillmesh/etc/package_signing.pem";
const char* const SIGNATURE_SUFFIX = ".sig";

bool is_directory(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Puts the new tree at `target` in one step. With an old tree there, the two change places, so
// a crash at any moment leaves one whole module at `target` (where the file system can exchange
// names); the old tree ends up at `staged` either way.
bool swap_in(const std::string& staged, const std::string& target, bool replace)
{
    if (!replace)
        return renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0
            || ((errno == EINVAL || errno == ENOSYS) && !file_exists(target)
                && rename(staged.c_str(), target.c_str()) == 0);
    return exchange_trees(staged, target);
}

// The package was handled, so it leaves the staging directory. Other files staged beside it
// (a second module package, configuration files, scripts still to be applied) stay until they
// are handled; the directory goes once nothing is left in it.
void clean_staging(const std::string& package)
{
    const std::string prefix = std::string(STAGING_DIR) + "/";
    if (package.compare(0, prefix.size(), prefix) == 0 && package.find("/../") == std::string::npos
        && is_safe_path(package))
        run_shell("rm -f " + package + " " + package + SIGNATURE_SUFFIX);
    // Only root's own private staging directory is looked into and removed: in a tree another
    // user owns, rm could be made to follow a link swapped in while it works.
    if (claim_private_dir(STAGING_DIR, false))
        run_shell(std::string("find ") + STAGING_DIR + " -type f 2>/dev/null | grep -q . || rm -rf " + STAGING_DIR);
}

// Every user of the router may create names in /tmp. A directory root makes there stays root's
// only when nobody else can rename or replace it: /tmp must carry the sticky bit or be closed
// to others.
bool tmp_dir_safe()
{
    struct stat st;
    return stat(TMP_DIR, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0
        && ((st.st_mode & S_ISVTX) != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) == 0);
}

bool is_work_dir_name(const std::string& name)
{
    const std::string prefix = WORK_PREFIX;
    if (name.size() != prefix.size() + WORK_SUFFIX || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    for (size_t i = prefix.size(); i < name.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

// A run that was killed leaves its work directory behind; the next run removes it, as it
// would have removed a fixed one. Only private directories of our own are taken: a look-alike
// that someone else made stays where it is.
void remove_stale_work_dirs()
{
    std::vector<std::string> stale;
    {
        dir_ptr listing(opendir(TMP_DIR));
        if (!listing)
            return;
        while (struct dirent* entry = readdir(listing.get())) {
            const std::string path = std::string(TMP_DIR) + "/" + entry->d_name;
            struct stat st;
            // A run at the same moment (an operator's by hand beside the daemon's) keeps its own:
            // only directories untouched for an hour count as left behind.
            if (is_work_dir_name(entry->d_name) && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)
                && st.st_uid == geteuid() && (st.st_mode & 07777) == 0700 && st.st_mtime < time(nullptr) - 3600)
                stale.push_back(path);
        }
    }
    for (const auto& path : stale)
        run_shell("rm -rf " + path);
}

// The private work directory of one run, removed with everything in it when the run ends.
// The package is unpacked into its subdirectory `tree`, never into the private directory itself:
// a package member "./" gives the directory it is unpacked into the member's own mode.
class work_dir
{
public:
    work_dir() = default;
    work_dir(const work_dir&) = delete;
    work_dir& operator=(const work_dir&) = delete;
    ~work_dir()
    {
        if (!path_.empty())
            run_shell("rm -rf " + path_);
    }

    bool create()
    {
        std::string name = std::string(TMP_DIR) + "/" + WORK_PREFIX + std::string(WORK_SUFFIX, 'X');
        if (!mkdtemp(&name[0]))
            return false;
        path_ = name;
        return mkdir(tree().c_str(), 0700) == 0;
    }

    const std::string& path() const { return path_; }
    std::string tree() const { return path_ + "/tree"; }

private:
    std::string path_;
};

// With a signing key installed, a package is unpacked only with a valid detached signature
// beside it (<package>.sig, Ed25519 or ECDSA with SHA-256), checked by the router's openssl on
// the private copy that is unpacked afterwards. Without a key every package passes as before.
bool signature_valid(const std::string& package, const std::string& copy)
{
    if (!file_exists(SIGNING_KEY))
        return true;
    const std::string signature = copy + SIGNATURE_SUFFIX;
    if (run_shell("cp -- " + package + SIGNATURE_SUFFIX + " " + signature + " 2>/dev/null") != 0) {
        qm_log(LOG_ERR, "Package %s refused: it has no signature %s%s.", package.c_str(), package.c_str(),
            SIGNATURE_SUFFIX);
        return false;
    }
    if (run_program({ "openssl", "pkeyutl", "-verify", "-pubin", "-inkey", SIGNING_KEY, "-rawin", "-in", copy,
            "-sigfile", signature })
            == 0
        || run_program({ "openssl", "dgst", "-sha256", "-verify", SIGNING_KEY, "-signature", signature, copy }) == 0)
        return true;
    qm_log(LOG_ERR, "Package %s refused: its signature does not match the package signing key.", package.c_str());
    return false;
}

// Unpacks the package into the work directory and installs every module directory in it.
int install_package(const work_dir& work, const std::string& package)
{
    // What is checked is what is unpacked: the package is read from a copy that only root can
    // reach, so it cannot be exchanged between the check of its members and the unpacking.
    const std::string copy = work.path() + "/package.tgz";
    const std::string tree = work.tree();
    if (!is_safe_path(package) || run_shell("cp -- " + package + " " + copy) != 0 || !signature_valid(package, copy)
        || !package_members_safe(copy) || run_shell("tar -xzf " + copy + " -C " + tree + "/") != 0)
        return 1;
    int result = 1;
    dir_ptr listing(opendir(tree.c_str()));
    if (!listing)
        return 1;
    while (struct dirent* entry = readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (!is_module_name(name) || !is_directory(tree + "/" + name))
            continue;
        if (install_module(work.path(), name))
            result = 0;
    }
    return result;
}
} // namespace

bool install_module(const std::string& work, const std::string& name)
{
    const std::string target = "/opt/" + name;
    const std::string init = target + "/etc/init";
    const std::string settings = target + "/etc/settings";
    const std::string saved = work + "/settings." + name;
    const std::string source = work + "/tree/" + name;
    // A link left at /opt/<name> counts as an installed module too, so that it is replaced.
    struct stat st;
    const bool existed = lstat(target.c_str(), &st) == 0;
    // A module that ships etc/trial replacing an installed tree is put on trial: the old tree is
    // kept as /opt/.<name>.prev. The new tree is staged right there, so that the exchange leaves
    // the old one at its kept place in the same step. While an earlier trial is still open, the
    // tree it kept (the last one that worked) stays kept and the tree on trial is dropped.
    // From here until the new tree is in place no rollback runs: a start of the old module
    // meanwhile finds the trial's marker and the kept tree in place, as a cut-off update leaves
    // them, and must not take that for one.
    fd_owner lock;
    lock_module_changes(lock, true);
    update_trial marker;
    const bool pending = read_update_trial(name, marker);
    const bool trial = existed && S_ISDIR(st.st_mode) && file_exists(source + "/etc/trial");
    const bool keep_old = trial && !pending;
    const std::string staged = keep_old ? kept_tree_path(name) : "/opt/." + name + ".new";
    // An update that fails leaves the trial as it found it: none, or the open one with its own
    // deadline (not the fresh one written for this update).
    const update_trial open_trial = marker;
    const auto undo_marker = [&]() {
        if (keep_old)
            remove(update_trial_marker_path(name).c_str());
        else if (trial)
            write_update_trial(name, open_trial);
    };

    // A trial's marker is written before anything is staged at the kept tree's place: from here
    // on, a power cut leaves a trial that can be undone (one whose swap never happened is cleared
    // by the old module's next start), never a stray tree.
    if (trial) {
        if (keep_old) {
            remove_tree(staged);
            marker.kept = kept_tree_path(name);
            marker.kept_inode = static_cast<unsigned long>(st.st_ino);
        }
        marker.start = static_cast<long>(time(nullptr));
        marker.deadline = marker.start + trial_seconds(name, settings, source + "/etc/settings");
        if (!write_update_trial(name, marker)) {
            qm_log(LOG_ERR, "Update of %s refused: its trial marker cannot be written.", name.c_str());
            return false;
        }
    }
    // The new tree is copied beside the old one first; the old module is not touched until
    // the copy is complete.
    if (!keep_old)
        run_shell("rm -rf " + staged);
    if (run_shell("cp -rdf " + source + " " + staged) != 0 || (trial && !put_trial_guard(staged, name))) {
        run_shell("rm -rf " + staged);
        undo_marker();
        return false;
    }
    // The staged tree (and the guard) reach the flash before the old module stops: a power cut
    // after the swap must find whole files there, not ones still waiting in the page cache.
    run_shell("sync");

    if (existed) {
        run_shell(init + " stop");
        // Settings that cannot be saved would be lost: keep the old module then.
        if (file_exists(settings) && run_shell("cp " + settings + " " + saved) != 0) {
            run_shell("rm -rf " + staged);
            undo_marker();
            lock.close();
            run_shell(init + " start");
            return false;
        }
        // A tree on trial carries the settings over before it takes the module's place, so that
        // a power cut right after the swap does not start it with the package's defaults (they
        // are carried over again after "defaults" below, as for every module).
        if (trial && file_exists(staged + "/etc/settings"))
            merge_settings((staged + "/etc/settings").c_str(), saved.c_str());
    }
    if (!swap_in(staged, target, existed)) {
        run_shell("rm -rf " + staged);
        undo_marker();
        lock.close();
        if (existed)
            run_shell(init + " start");
        return false;
    }
    run_shell("sync");
    lock.close();
    // After the exchange the old tree lies where the new one was staged: kept for the trial, or
    // removed.
    if (!keep_old)
        run_shell("rm -rf " + staged);

    run_shell("rm -rf /var/www/" + name + "; ln -s " + target + "/www /var/www/" + name);
    const std::string install = target + "/etc/install";
    if (file_exists(install))
        run_shell(install);
    run_shell(init + " defaults");
    if (existed)
        merge_settings(settings.c_str(), saved.c_str());
    // A module on trial whose init script cannot even start it is taken back at once.
    if (file_exists(init) && run_shell(init + " start") != 0 && trial) {
        run_shell(init + " stop");
        if (rollback_module(name, "the init script of the new module failed") == 0)
            run_shell(init + " start");
    }
    return true;
}

int grafter_main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--rollback")
        return is_module_name(argv[2]) ? rollback_module(argv[2], "requested by the supervisor") : 1;
    if (argc == 4 && std::string(argv[1]) == "--rollback")
        return is_module_name(argv[2]) ? rollback_module(argv[2], argv[3]) : 1;
    if (argc != 2)
        return 1;
    int result = 1;
    const std::string package = argv[1];
    {
        work_dir work;
        const bool tmp_safe = tmp_dir_safe();
        if (tmp_safe)
            remove_stale_work_dirs();
        if (!tmp_safe || !work.create())
            qm_log(LOG_ERR, "Not able to create a private work directory in %s", TMP_DIR);
        else
            result = install_package(work, package);
    }
    clean_staging(package);
    return result;
}
