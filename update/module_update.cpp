#include "update/module_update.h"

#include "common/file_util.h"
#include "common/handles.h"
#include "common/log.h"
#include "common/private_dir.h"
#include "common/system.h"
#include "common/validate.h"
#include "trial/network_trial.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <vector>

const char* const STAGING_DIR = "/tmp/vpn_module_tbd/";
const char* const STAGING_MODULE_DIR = "/tmp/vpn_module_tbd/module/";
const char* const STAGING_CONFIG_DIR = "/tmp/vpn_module_tbd/config/";
const char* const STAGING_SCRIPT_DIR = "/tmp/vpn_module_tbd/script/";

namespace
{
const char* const GRAFTER_PATH = "/opt/quillmesh/bin/grafter";
const char* const PACKAGE_NAME_PREFIX = "quillmesh.um.";
const char* const PACKAGE_TAG = "v4";
const char* const PACKAGE_NAME_SUFFIX = ".tgz";
const char* const SIGNATURE_SUFFIX = ".sig";
// Where a package signing key is installed, the updater refuses packages without a signature.
const char* const SIGNING_KEY = "/opt/quillmesh/etc/package_signing.pem";
// An update on trial: the marker grafter writes and the old tree it keeps until the commit.
const char* const TRIAL_MARKER = "/opt/.quillmesh.trial";
const char* const KEPT_TREE = "/opt/.quillmesh.prev";
const char* const MODULE_DIR = "/opt/quillmesh";
const char* const MODULE_INIT = "/opt/quillmesh/etc/init";
const char* const OWN_INIT = "/opt/quillmesh/etc/init.on_trial";

const char* const MSG_UPDATE_COMMAND = "Update command: %s";
const char* const MSG_MODULE_FAILED = "Not able to update module: ";
const char* const MSG_CONFIG_FAILED = "Configuration not changed or not updated from ";
const char* const MSG_SCRIPT_FAILED = "Script failed: ";
const char* const MSG_NO_TEMP_DIR = "Module update: not able to create temp directory /tmp/vpn_module_tbd/module/";
const char* const MSG_DOWNLOAD_COMMAND = "UM download command: %s";
const char* const MSG_DOWNLOAD_FAILED = "Not able to download user module from %s. Module not updated.";

bool is_regular_file(const std::string& directory, const struct dirent& entry)
{
    if (entry.d_type != DT_UNKNOWN)
        return entry.d_type == DT_REG;
    // Some filesystems do not report the kind in the listing.
    struct stat st;
    return lstat((directory + entry.d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

namespace
{
// The names of the regular files in the directory.
std::vector<std::string> regular_files(const std::string& directory)
{
    std::vector<std::string> names;
    dir_ptr listing(opendir(directory.c_str()));
    while (listing) {
        struct dirent* entry = readdir(listing.get());
        if (!entry)
            break;
        if (is_regular_file(directory, *entry))
            names.push_back(entry->d_name);
    }
    return names;
}
} // namespace

bool run_for_each_file(const std::string& directory, const std::string& command, const std::string& failure_text,
    const std::string& skip_suffix)
{
    if (!file_exists(directory))
        return false;
    dir_ptr listing(opendir(directory.c_str()));
    if (!listing) {
        qm_log(LOG_ERR, "%s", strerror(errno));
        return false;
    }
    bool all_ok = true;
    while (struct dirent* entry = readdir(listing.get())) {
        if (!is_regular_file(directory, *entry))
            continue;
        const std::string name = entry->d_name;
        if (!skip_suffix.empty() && name.size() > skip_suffix.size()
            && name.compare(name.size() - skip_suffix.size(), skip_suffix.size(), skip_suffix) == 0)
            continue;
        // The name goes into a shell command line unquoted; a name with blanks or shell
        // characters is refused rather than run.
        if (!is_safe_file_name(name)) {
            qm_log(LOG_ERR, "%s", (failure_text + name).c_str());
            all_ok = false;
            continue;
        }
        const std::string line = command + " " + directory + name;
        qm_log(LOG_DEBUG, MSG_UPDATE_COMMAND, line.c_str());
        if (run_shell(line) != 0) {
            qm_log(LOG_ERR, "%s", (failure_text + name).c_str());
            all_ok = false;
        }
    }
    return all_ok;
}

bool claim_staging_dir(const std::string& directory, bool create)
{
    auto without_slash = [](std::string path) {
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        return path;
    };
    return claim_private_dir(without_slash(STAGING_DIR), create) && claim_private_dir(without_slash(directory), create);
}

bool module_install()
{
    // What another user put there is never handed to the updater.
    if (!claim_staging_dir(STAGING_MODULE_DIR, false))
        return false;
    // A package's signature travels beside it; the updater reads it with the package.
    return run_for_each_file(STAGING_MODULE_DIR, GRAFTER_PATH, MSG_MODULE_FAILED, SIGNATURE_SUFFIX);
}

void apply_staged_files()
{
    bool restored = false;
    std::vector<std::string> configs;
    if (claim_staging_dir(STAGING_CONFIG_DIR, false)) {
        // A configuration goes on trial before restore takes it: the router's settings files are
        // kept, and put back unless the CS is heard from again after the reboot.
        configs = regular_files(STAGING_CONFIG_DIR);
        if (configs.empty() || network_trial_begin(config_settings_files(configs), "reboot", true))
            restored = run_for_each_file(STAGING_CONFIG_DIR, "restore", MSG_CONFIG_FAILED);
    }
    if (claim_staging_dir(STAGING_SCRIPT_DIR, false))
        run_for_each_file(STAGING_SCRIPT_DIR, "bash", MSG_SCRIPT_FAILED);
    module_install();
    // Removed without following a link, whatever was put in its place.
    std::string staging = STAGING_DIR;
    staging.pop_back();
    remove_tree(staging);
    if (restored) {
        // The configuration takes effect with the reboot: the daemon started after it confirms it.
        if (!configs.empty())
            network_trial_hold();
        run_shell("reboot");
    }
}

int module_download(const std::string& base_url)
{
    const std::string package = std::string(PACKAGE_NAME_PREFIX) + PACKAGE_TAG + PACKAGE_NAME_SUFFIX;
    if (!claim_staging_dir(STAGING_MODULE_DIR, true)) {
        qm_log(LOG_ERR, "%s", MSG_NO_TEMP_DIR);
        return 0;
    }
    if (!is_safe_url(base_url)) {
        qm_log(LOG_ERR, MSG_DOWNLOAD_FAILED, base_url.c_str());
        return 0;
    }
    // A server that stops sending (hung, or a path that drops packets) would hold curl, and
    // the daemon with it, for ever: a transfer that moves less than a byte a second for a
    // minute is given up, and state 10 tries again.
    const std::string line = "curl --fail --insecure --speed-limit 1 --speed-time 60 " + base_url + "/" + package
        + " --output " + STAGING_MODULE_DIR + package;
    qm_log(LOG_DEBUG, MSG_DOWNLOAD_COMMAND, line.c_str());
    if (run_shell(line) != 0) {
        qm_log(LOG_ERR, MSG_DOWNLOAD_FAILED, base_url.c_str());
        return 0;
    }
    if (!file_exists(SIGNING_KEY))
        return 1;
    const std::string signature = package + SIGNATURE_SUFFIX;
    const std::string sig_line = "curl --fail --insecure --speed-limit 1 --speed-time 60 " + base_url + "/" + signature
        + " --output " + STAGING_MODULE_DIR + signature;
    qm_log(LOG_DEBUG, MSG_DOWNLOAD_COMMAND, sig_line.c_str());
    if (run_shell(sig_line) != 0) {
        qm_log(LOG_ERR, MSG_DOWNLOAD_FAILED, base_url.c_str());
        return 0;
    }
    return 1;
}

namespace
{
// The KEPT_INODE of the trial marker; 0 when it cannot be read. Read with stdio: a file stream
// brings the C++ locale machinery into the program, some 400 KB that a router keeps resident.
unsigned long kept_inode()
{
    file_ptr marker(fopen(TRIAL_MARKER, "r"));
    if (!marker)
        return 0;
    static const char key[] = "KEPT_INODE=";
    char* line = nullptr;
    size_t size = 0;
    unsigned long inode = 0;
    while (getline(&line, &size, marker.get()) >= 0) {
        if (strncmp(line, key, sizeof key - 1) == 0) {
            inode = std::strtoul(line + sizeof key - 1, nullptr, 10);
            break;
        }
    }
    free(line);
    return inode;
}
} // namespace

void commit_module_update()
{
    struct stat st;
    if (lstat(TRIAL_MARKER, &st) != 0) {
        // A kept tree without its marker is what a commit cut off by a power cut left.
        if (lstat(KEPT_TREE, &st) == 0 && !remove_tree(KEPT_TREE))
            qm_log(LOG_ERR, "Failed to remove %s: %s", KEPT_TREE, strerror(errno));
        return;
    }
    // The marker names the old tree's inode. While that tree is still (or again) the module in
    // place, the update is not this daemon's to commit: grafter is at work on it, or a power cut
    // stopped it, which the init script completes at the next start.
    struct stat module;
    if (lstat(MODULE_DIR, &module) != 0 || kept_inode() == static_cast<unsigned long>(module.st_ino))
        return;
    qm_log(LOG_NOTICE, "Module update committed.");
    // The marker goes first: while it is there the guard must find the own init beside it (a
    // start or stop in between would find none to pass on to, and roll back). The module's own
    // init then takes back the place that grafter's guard held during the trial (the guard does
    // so itself when it finds the trial over). The marker goes before the kept tree too: a trial
    // is never left that could go back to half a tree.
    if (remove(TRIAL_MARKER) != 0) {
        qm_log(LOG_ERR, "Failed to remove %s: %s", TRIAL_MARKER, strerror(errno));
        return;
    }
    if (lstat(OWN_INIT, &st) == 0 && rename(OWN_INIT, MODULE_INIT) != 0)
        qm_log(LOG_ERR, "Failed to put back %s: %s", MODULE_INIT, strerror(errno));
    run_shell("sync");
    if (!remove_tree(KEPT_TREE))
        qm_log(LOG_ERR, "Failed to remove %s: %s", KEPT_TREE, strerror(errno));
    run_shell("sync");
}
