// Network changes on trial. Before a change that can cut the router off from the CS (a LAN
// setup, a configuration restore) the router's settings files that it can touch are kept in a
// snapshot beside the trial marker (common/trial_marker.h, kind "network"), which says until
// when the change is on trial (MOD_QUILLMESH_CHANGE_TRIAL). The change is confirmed, and the
// snapshot dropped, when the daemon, listening, hears from the CS: a control request, or the
// CS's answer to a ping through the tunnel. A change not confirmed in time is undone through
// the router's own restore, and the services it restarted are restarted again (or the router is
// rebooted, for a configuration that took effect with a reboot). An undone change is never undone
// again: a revert that does not bring the CS back leaves the router as it is.
#pragma once

#include "common/system.h"

#include <string>
#include <vector>

// The router's settings files that a LAN setup can change.
extern const std::vector<std::string> LAN_SETTINGS_FILES;

// The named settings files a configuration restore can change besides every /etc/settings.*
// file there is: the LAN files, and /etc/<name> for each staged file named settings.<word>.
std::vector<std::string> config_settings_files(const std::vector<std::string>& staged_names);

// Before a change: keeps `files` (a missing one as missing; with `every_settings_file`, every
// /etc/settings.* file as well, and a settings file that appears later counts as one that was
// missing) and puts the change on trial. `apply` is how its undo takes effect: "reboot", or the
// services to restart ("bard,eth"). A trial already running is joined: what it kept stays (the
// last settings known to work), files it did not keep are added, and the ways to apply merge.
// False (logged) when the settings could not be kept: the change must not go ahead.
bool network_trial_begin(
    const std::vector<std::string>& files, const std::string& apply, bool every_settings_file = false);

// The change on trial takes effect with the reboot this process asked for: this process does
// not confirm it (the daemon started after the reboot does).
void network_trial_hold();

// True when a change on trial that this process may confirm, or a completed revert, waits to
// hear from the CS.
bool network_trial_awaits_cs();
// The CS was heard from (`how` goes into the log line): confirms the change on trial, or closes
// a completed revert. Does nothing when nothing waits for it.
void network_trial_heard_from_cs(const char* how);

// Undoes the change on trial when its time is up, and completes an interrupted revert. Returns
// the seconds the change on trial has left, or -1 when none is on trial (any more).
long network_trial_tick();

// At the daemon's start: a trial of an earlier run goes on (after a reboot with its full length
// again, at most MAX_TRIAL_BOOTS times), one whose time is up or whose revert was interrupted is
// undone now, and a snapshot without a marker is removed.
constexpr unsigned MAX_TRIAL_BOOTS = 3;
void network_trial_at_start();

// The side-effect seam with pauses that end at the deadline of the change on trial, which is
// undone when its time is up: whatever the daemon waits for, it does not wait past the deadline,
// and a pause that the undo interrupts ends there. Everything else goes to the backend it wraps.
// Pauses shorter than a second pass unchanged.
class trial_system : public system_backend
{
public:
    explicit trial_system(system_backend& inner)
        : inner_(inner)
    {
    }
    int shell(const std::string& command, std::string* output) override { return inner_.shell(command, output); }
    int program(const std::vector<std::string>& argv, std::string* output) override
    {
        return inner_.program(argv, output);
    }
    int sync(int fd) override { return inner_.sync(fd); }
    void sleep(std::chrono::milliseconds duration) override;
    std::chrono::steady_clock::time_point now() override { return inner_.now(); }

private:
    system_backend& inner_;
};
