// Applying what the CS staged in /tmp/vpn_module_tbd/ (configuration files, scripts, module
// packages) and fetching the module package from the CS over HTTPS.
#pragma once

#include <string>

// The staging directory and its three subdirectories (each path ends in '/').
extern const char* const STAGING_DIR; // /tmp/vpn_module_tbd/
extern const char* const STAGING_MODULE_DIR; // /tmp/vpn_module_tbd/module/
extern const char* const STAGING_CONFIG_DIR; // /tmp/vpn_module_tbd/config/
extern const char* const STAGING_SCRIPT_DIR; // /tmp/vpn_module_tbd/script/

// Runs "<command> <directory><name>" through the shell for every regular file of `directory`
// (which ends in '/'), logging "<failure_text><name>" for each one that exits non-zero.
// True when the directory exists, can be listed and every command exited with 0 (also when it
// holds no regular file); false otherwise. A missing directory is silent.
// Files whose name ends in `skip_suffix` (when given) are left alone.
bool run_for_each_file(const std::string& directory, const std::string& command, const std::string& failure_text,
    const std::string& skip_suffix = std::string());

// Checks the staging directory and its subdirectory `directory` (one of the three above) before
// a use, creating both with mode 0700 when `create` is set. Anything at those paths that is not
// a directory of root's own, writable by root only, is logged and removed and the use refused.
bool claim_staging_dir(const std::string& directory, bool create);

// Hands every staged module package to /opt/quillmesh/bin/grafter.
bool module_install();

// Restores staged configuration files, runs staged scripts, installs staged modules, removes the
// staging directory and reboots the router when the configuration restore succeeded.
void apply_staged_files();

// Downloads <base_url>/quillmesh.um.v4.tgz into /tmp/vpn_module_tbd/module/ with curl, and its
// signature <base_url>/quillmesh.um.v4.tgz.sig when a package signing key is installed; a
// transfer that stalls for a minute is given up.
// 1 when the package was stored, 0 otherwise.
int module_download(const std::string& base_url);

// Commits an update of the module that is on trial (marker /opt/.quillmesh.trial, written by
// grafter): logs "Module update committed.", puts the module's own init back in place of
// grafter's guard, removes the marker, then the tree kept for going back (/opt/.quillmesh.prev,
// never following a link). Without a marker it only removes a kept tree that a commit cut off
// left. Called when the daemon reaches "Listening".
void commit_module_update();
