// The trial of a module update. A module that ships etc/trial is installed on trial: the tree it
// replaces is kept beside it as /opt/.<name>.prev (same file system, so going back is one
// exchange of names) and the marker /opt/.<name>.trial says what was kept and until when. The
// new module's daemon commits the update (removes both) once it works; whoever finds the trial
// failed or expired (the module's supervisor, the guard that holds etc/init during the trial when
// the new init's start fails) undoes it with rollback_module.
#pragma once

#include "common/handles.h"

#include <string>

struct update_trial {
    std::string kept; // /opt/.<name>.prev
    unsigned long kept_inode; // the old tree's inode: tells a finished swap from one not yet made
    long start; // seconds since the epoch
    long deadline; // start + MOD_<NAME>_UPDATE_TRIAL
};

std::string update_trial_marker_path(const std::string& name); // /opt/.<name>.trial
std::string kept_tree_path(const std::string& name); // /opt/.<name>.prev

// Reads the marker of `name`; false when there is none or it cannot be read.
bool read_update_trial(const std::string& name, update_trial& marker);

// Writes the marker atomically (temporary file, fsync, rename, fsync of /opt). True on success.
bool write_update_trial(const std::string& name, const update_trial& marker);

// The router starts a module at boot by its etc/init alone, so while an update is on trial that
// path holds a guard of ours and the new module's own init lies beside it as etc/init.on_trial.
// The guard passes every action on to it; at "start" it first rolls the update back (with the
// kept tree's grafter) when the trial has run out, or when the own init's start fails; a trial
// that ran out and cannot be rolled back ends there, and the new module starts. Once no trial is
// open it puts the own init back in its place. `tree` is the new module's tree; a tree
// without etc/init gets no guard. True when done.
bool put_trial_guard(const std::string& tree, const std::string& name);

// The trial length of the module: MOD_<NAME>_UPDATE_TRIAL as the operator had it in the old
// settings, else the new module's default, else 600 s.
long trial_seconds(const std::string& name, const std::string& old_settings, const std::string& new_settings);

// Exchanges the names of the trees `a` and `b` (both in /opt), so that `b` is never missing.
// Where the file system cannot exchange names (EINVAL), three renames do it, through `a`.old;
// `a` then gets the tree that was at `b` all the same, so a tree kept there is never lost.
// True once `b` holds what was at `a`.
bool exchange_trees(const std::string& a, const std::string& b);

// One change of the modules in /opt at a time: grafter holds this lock (/opt/.grafter.lock) from
// before it looks at a trial's marker until the new tree is in place, so that a rollback never
// takes an update being staged for one a power cut stopped. With `wait`, waits for the lock;
// false when it is held elsewhere and `wait` is not set. A lock file that cannot be opened (a
// full /opt) locks nothing and is not in the way.
bool lock_module_changes(fd_owner& lock, bool wait);

// grafter --rollback <name>: puts the kept tree back at /opt/<name> by exchanging the two names
// (so /opt/<name> is never missing), runs the old module's etc/install again (to set back what the
// new one's changed outside its tree), then removes the failed tree and the marker. A marker whose
// swap never happened (power cut during the update) is just removed, with what was staged. 0 when
// the old module is (again) at /opt/<name>; 2 when another grafter is at work on the modules,
// with nothing done; 1 otherwise.
int rollback_module(const std::string& name, const std::string& why);
