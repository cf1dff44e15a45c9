// A change on trial: the marker on persistent storage that names what undoes a change and until
// when. It is written atomically before the change, removed when the change is confirmed, and
// whoever finds it expired undoes the change: quillmeshd at start and while it runs; a supervisor
// by starting quillmeshd. Network changes use it today (trial/network_trial.h); a module update
// can put its own kind in the same place.
//
// Each kind of change has its own marker, <kind>.marker in TRIAL_DIR, a settings file of KEY=value
// lines so that a shell script can read it:
//
//   TRIAL_KIND=network        what is on trial
//   TRIAL_STAGE=on_trial      on_trial, reverting (the undo has begun) or reverted (it is done)
//   TRIAL_BOOT=<boot id>      /proc/sys/kernel/random/boot_id of the boot the deadline counts in
//   TRIAL_DEADLINE=<seconds>  the deadline, in seconds since that boot (the clock of /proc/uptime)
//   TRIAL_SECONDS=300         the trial's length, counted afresh from a later boot
//   TRIAL_BOOTS=0             reboots the change has been on trial through
//   TRIAL_UNDO=<path>         what undoes the change (for a network change: its snapshot directory)
//   TRIAL_APPLY=bard,eth      how the undo takes effect: "reboot", or the services to restart
//
// A shell finds a trial of this boot expired when TRIAL_BOOT equals the boot id and the whole
// seconds of /proc/uptime reach TRIAL_DEADLINE.
#pragma once

#include <string>

extern const char* const TRIAL_DIR; // /var/data/quillmesh_certs/trial, root's own (0700)

enum class trial_stage { on_trial, reverting, reverted };

struct trial_marker {
    std::string kind;
    trial_stage stage = trial_stage::on_trial;
    std::string boot;
    unsigned long deadline = 0;
    unsigned seconds = 0;
    unsigned boots = 0;
    std::string undo;
    std::string apply;
};

// The clock trials count in: the boot, and the seconds since it (CLOCK_BOOTTIME, which goes on
// while the router sleeps and never jumps with the time of day).
struct trial_time {
    std::string boot;
    unsigned long uptime = 0;
};
trial_time trial_time_now();

// Makes `dir` ready: the directory above it is created where missing (0700), `dir` itself is
// created 0700 or must be a real directory (not a link) of this user that nobody else can write.
// False (logged) otherwise.
bool trial_dir_ready(const std::string& dir = TRIAL_DIR);

std::string trial_marker_path(const std::string& kind, const std::string& dir = TRIAL_DIR);

// The marker of a kind. False when there is none; a marker of another kind or with an unknown
// stage is logged and counts as none.
bool trial_marker_read(const std::string& kind, trial_marker& marker, const std::string& dir = TRIAL_DIR);
// Replaces the marker of marker.kind atomically (mode 0600). False (logged) when it could not be
// written; the marker that was there stays whole.
bool trial_marker_write(const trial_marker& marker, const std::string& dir = TRIAL_DIR);
// Removes the marker of a kind, durably. True when none is left.
bool trial_marker_remove(const std::string& kind, const std::string& dir = TRIAL_DIR);
