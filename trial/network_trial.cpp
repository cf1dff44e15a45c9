#include "trial/network_trial.h"

#include "common/handles.h"
#include "common/log.h"
#include "common/settings_file.h"
#include "common/trial_marker.h"
#include "settings/module_settings.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const std::vector<std::string> LAN_SETTINGS_FILES
    = { "/etc/settings.eth", "/etc/settings.wlan", "/etc/settings.wifi_ap", "/etc/settings.backrt" };

namespace
{
const char* const KIND = "network";
const char* const ETC_DIR = "/etc/";
const char* const SETTINGS_PREFIX = "settings.";
const char* const RESTORE_COMMAND = "/usr/sbin/restore";
const char* const SERVICE_COMMAND = "/sbin/service";
const char* const APPLY_REBOOT = "reboot";
// The services a LAN change restarts, in the order the control dispatch restarts them.
const char* const SERVICES[] = { "bard", "wifi", "eth" };

// This process asked for the reboot that puts the change on trial, or its revert, in effect.
bool held = false;
// Reverts this process has made.
unsigned reverts_done = 0;

std::string snapshot_dir()
{
    return std::string(TRIAL_DIR) + "/network.snapshot";
}

std::string fresh_snapshot_dir()
{
    return snapshot_dir() + ".new";
}

// A router settings file: settings.<word> of lower case letters, digits and '_'.
bool is_settings_name(const std::string& name)
{
    const size_t n = strlen(SETTINGS_PREFIX);
    if (name.size() <= n || name.size() > 64 || name.compare(0, n, SETTINGS_PREFIX) != 0)
        return false;
    return std::all_of(name.begin() + static_cast<long>(n), name.end(),
        [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; });
}

std::string base_name(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

bool is_settings_path(const std::string& path)
{
    return path.compare(0, strlen(ETC_DIR), ETC_DIR) == 0 && path.size() > strlen(ETC_DIR)
        && path.find('/', strlen(ETC_DIR)) == std::string::npos && is_settings_name(base_name(path));
}

// Every router settings file there is, sorted.
std::vector<std::string> every_settings_file()
{
    std::vector<std::string> found;
    dir_ptr listing(opendir(ETC_DIR));
    while (listing) {
        struct dirent* entry = readdir(listing.get());
        if (!entry)
            break;
        std::string path = std::string(ETC_DIR) + entry->d_name;
        struct stat st;
        // A settings file may be a link into persistent storage: what counts is the file.
        if (is_settings_name(entry->d_name) && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            found.push_back(path);
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The whole file; false when it cannot be opened.
bool read_whole(const std::string& path, std::string& text)
{
    text.clear();
    file_ptr file(fopen(path.c_str(), "re"));
    if (!file)
        return false;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file.get())) > 0)
        text.append(buffer, n);
    return !ferror(file.get());
}

bool write_whole(const std::string& path, const std::string& text)
{
    atomic_file out(path, 0600);
    return out && fwrite(text.data(), 1, text.size(), out.get()) == text.size() && out.commit() == 0;
}

void sync_dir(const std::string& path)
{
    fd_owner dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd >= 0)
        sync_to_storage(dir.fd);
}

// A snapshot directory holds plain files only.
void remove_snapshot_dir(const std::string& path)
{
    dir_ptr listing(opendir(path.c_str()));
    if (!listing)
        return;
    while (struct dirent* entry = readdir(listing.get())) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            unlink((path + "/" + entry->d_name).c_str());
    }
    listing.reset();
    rmdir(path.c_str());
}

// What a snapshot holds: each kept file, as it was (a copy under its own name) or as missing;
// with `every`, every settings file was kept, so one that is there now but not in the list was
// missing. The index lists them: "present PATH", "missing PATH", and "every /etc/settings.*".
struct kept_file {
    std::string path;
    bool present;
};
struct snapshot {
    std::vector<kept_file> files;
    bool every = false;

    bool holds(const std::string& path) const
    {
        return std::any_of(files.begin(), files.end(), [&](const kept_file& f) { return f.path == path; });
    }
};

const char* const INDEX_PRESENT = "present ";
const char* const INDEX_MISSING = "missing ";
const char* const INDEX_EVERY = "every /etc/settings.*";

bool write_index(const std::string& dir, const snapshot& s)
{
    std::string text;
    for (const kept_file& f : s.files)
        text += (f.present ? INDEX_PRESENT : INDEX_MISSING) + f.path + "\n";
    if (s.every)
        text += std::string(INDEX_EVERY) + "\n";
    return write_whole(dir + "/index", text);
}

bool read_snapshot(snapshot& s)
{
    std::string text;
    if (!read_whole(snapshot_dir() + "/index", text))
        return false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (line == INDEX_EVERY) {
            s.every = true;
            continue;
        }
        const struct {
            const char* prefix;
            bool present;
        } kinds[] = { { INDEX_PRESENT, true }, { INDEX_MISSING, false } };
        for (const auto& kind : kinds) {
            const size_t n = strlen(kind.prefix);
            std::string path = line.compare(0, n, kind.prefix) == 0 ? line.substr(n) : std::string();
            if (is_settings_path(path))
                s.files.push_back({ path, kind.present });
        }
    }
    return true;
}

// Copies each of `paths` that the snapshot does not hold yet into `dir` and adds it.
bool keep_files(const std::string& dir, snapshot& s, const std::vector<std::string>& paths)
{
    for (const std::string& path : paths) {
        if (s.holds(path))
            continue;
        std::string text;
        bool present = read_whole(path, text);
        if (!present && errno != ENOENT)
            return false;
        if (present && !write_whole(dir + "/" + base_name(path), text))
            return false;
        s.files.push_back({ path, present });
    }
    return true;
}

// The files a change asks to keep, with every settings file there is when it asks for that.
std::vector<std::string> wanted_files(const std::vector<std::string>& files, bool every)
{
    std::vector<std::string> wanted;
    for (const std::string& path : files) {
        if (is_settings_path(path))
            wanted.push_back(path);
        else
            qm_log(LOG_ERR, "Not keeping %s: not a router settings file.", path.c_str());
    }
    if (every) {
        for (const std::string& path : every_settings_file())
            wanted.push_back(path);
    }
    return wanted;
}

std::string kept_names(const snapshot& s)
{
    std::string names;
    for (const kept_file& f : s.files)
        names += (names.empty() ? "" : " ") + base_name(f.path) + (f.present ? "" : " (missing)");
    return names;
}

// True when the comma-separated list names the service.
bool names_service(const std::string& list, const char* service)
{
    return ("," + list + ",").find(std::string(",") + service + ",") != std::string::npos;
}

// "reboot" wins over services; services are merged in their restart order.
std::string merged_apply(const std::string& a, const std::string& b)
{
    if (a == APPLY_REBOOT || b == APPLY_REBOOT)
        return APPLY_REBOOT;
    std::string merged;
    for (const char* service : SERVICES) {
        if (names_service(a, service) || names_service(b, service))
            merged += (merged.empty() ? "" : ",") + std::string(service);
    }
    return merged;
}

// The clock counts whole seconds: the second under way is added so that a trial is never shorter
// than its length.
unsigned long deadline_from(const trial_time& now, unsigned seconds)
{
    return now.uptime + seconds + 1;
}

bool start_trial(const std::vector<std::string>& files, const std::string& apply, bool every)
{
    const std::string dir = snapshot_dir();
    const std::string fresh = fresh_snapshot_dir();
    // A settled trial (reverted) goes with its snapshot before the new one is kept.
    if (!trial_marker_remove(KIND))
        return false;
    remove_snapshot_dir(fresh);
    remove_snapshot_dir(dir);
    if (mkdir(fresh.c_str(), 0700) != 0)
        return false;
    snapshot s;
    s.every = every;
    if (!keep_files(fresh, s, wanted_files(files, every)) || !write_index(fresh, s))
        return false;
    // The snapshot is complete before its marker exists: a power cut before the marker leaves
    // no trial and an unchanged router.
    sync_dir(fresh);
    if (rename(fresh.c_str(), dir.c_str()) != 0)
        return false;
    sync_dir(TRIAL_DIR);

    trial_time now = trial_time_now();
    trial_marker marker;
    marker.kind = KIND;
    marker.stage = trial_stage::on_trial;
    marker.boot = now.boot;
    marker.seconds = settings_change_trial();
    marker.deadline = deadline_from(now, marker.seconds);
    marker.undo = dir;
    marker.apply = merged_apply(apply, "");
    if (!trial_marker_write(marker))
        return false;
    held = false;
    qm_log(LOG_NOTICE, "Network change on trial for %u s. Kept: %s.", marker.seconds, kept_names(s).c_str());
    return true;
}

bool join_trial(trial_marker& marker, const std::vector<std::string>& files, const std::string& apply, bool every)
{
    snapshot s;
    if (!read_snapshot(s))
        return false;
    s.every = s.every || every;
    if (!keep_files(snapshot_dir(), s, wanted_files(files, every)) || !write_index(snapshot_dir(), s))
        return false;
    marker.apply = merged_apply(marker.apply, apply);
    if (!trial_marker_write(marker))
        return false;
    qm_log(LOG_DEBUG, "Network change joins the change on trial. Kept: %s.", kept_names(s).c_str());
    return true;
}

// The text that restore takes to put a kept file back: its content as it was, and an empty
// value for each key the change added (restore only replaces and adds keys). Empty when the file
// is as it was.
std::string undo_text(const kept_file& kept)
{
    settings_map now;
    settings_map before;
    std::string text;
    settings_load_map(kept.path, now);
    if (kept.present) {
        const std::string copy = snapshot_dir() + "/" + base_name(kept.path);
        read_whole(copy, text);
        settings_load_map(copy, before);
    }
    if (now == before)
        return std::string();
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    std::vector<std::string> added;
    for (const auto& entry : now) {
        if (before.find(entry.first) == before.end())
            added.push_back(entry.first);
    }
    std::sort(added.begin(), added.end());
    for (const std::string& key : added)
        text += key + "=\n";
    return text.empty() ? "\n" : text;
}

// Puts every changed file back through the router's restore; the names of those restored.
std::string restore_snapshot(const snapshot& s)
{
    std::vector<kept_file> files = s.files;
    if (s.every) {
        for (const std::string& path : every_settings_file()) {
            if (!s.holds(path))
                files.push_back({ path, false });
        }
    }
    std::string restored;
    for (const kept_file& kept : files) {
        std::string undo = undo_text(kept);
        if (undo.empty())
            continue;
        const std::string path = snapshot_dir() + "/undo." + base_name(kept.path);
        if (!write_whole(path, undo) || run_shell(std::string(RESTORE_COMMAND) + " " + path) != 0) {
            qm_log(LOG_ERR, "Not able to restore %s from the snapshot.", kept.path.c_str());
            continue;
        }
        restored += (restored.empty() ? "" : " ") + base_name(kept.path);
    }
    return restored;
}

// The undo takes effect as the change did: with a reboot, or by restarting the services the
// change restarted.
void take_effect(const std::string& apply)
{
    // The revert is in effect only after the reboot: this process does not report it done.
    held = apply == APPLY_REBOOT;
    if (held) {
        qm_log(LOG_NOTICE, "Rebooting after the revert.");
        run_shell("reboot");
        return;
    }
    if (apply.empty())
        return;
    qm_log(LOG_NOTICE, "Restarting %s after the revert.", apply.c_str());
    for (const char* service : SERVICES) {
        if (!names_service(apply, service))
            continue;
        if (run_program({ SERVICE_COMMAND, service, "restart" }) != 0)
            qm_log(LOG_ERR, "Not able to restart %s after the revert.", service);
    }
}

// The revert goes through marked stages, so that a power cut at any moment leaves the change on
// trial, a revert that the next start completes (restore takes the same files again), or a
// completed revert that is never repeated.
void revert(trial_marker& marker)
{
    ++reverts_done;
    marker.stage = trial_stage::reverting;
    trial_marker_write(marker);
    snapshot s;
    if (read_snapshot(s)) {
        std::string restored = restore_snapshot(s);
        qm_log(LOG_NOTICE, "Reverted from the snapshot: %s.",
            restored.empty() ? "nothing (the settings are as kept)" : restored.c_str());
    } else {
        qm_log(LOG_ERR, "Not able to read the snapshot of the network change. Nothing reverted.");
    }
    marker.stage = trial_stage::reverted;
    trial_marker_write(marker);
    take_effect(marker.apply);
}
} // namespace

std::vector<std::string> config_settings_files(const std::vector<std::string>& staged_names)
{
    std::vector<std::string> files = LAN_SETTINGS_FILES;
    for (const std::string& name : staged_names) {
        if (is_settings_name(name))
            files.push_back(ETC_DIR + name);
    }
    return files;
}

bool network_trial_begin(const std::vector<std::string>& files, const std::string& apply, bool every_settings_file)
{
    bool ok = trial_dir_ready();
    if (ok) {
        trial_marker marker;
        if (trial_marker_read(KIND, marker) && marker.stage == trial_stage::on_trial)
            ok = join_trial(marker, files, apply, every_settings_file);
        else
            ok = start_trial(files, apply, every_settings_file);
    }
    if (!ok)
        qm_log(LOG_ERR, "Not able to keep the router's settings before a network change. Change not made.");
    return ok;
}

void network_trial_hold()
{
    held = true;
}

bool network_trial_awaits_cs()
{
    trial_marker marker;
    return !held && trial_marker_read(KIND, marker) && marker.stage != trial_stage::reverting;
}

void network_trial_heard_from_cs(const char* how)
{
    trial_marker marker;
    if (held || !trial_marker_read(KIND, marker))
        return;
    if (marker.stage == trial_stage::on_trial)
        qm_log(LOG_NOTICE, "Network change confirmed: %s.", how);
    else if (marker.stage == trial_stage::reverted)
        qm_log(LOG_NOTICE, "CS is reachable again after the revert of a network change: %s.", how);
    else
        return;
    // Without its marker a snapshot is never used; one left by a power cut goes at the next start.
    if (trial_marker_remove(KIND))
        remove_snapshot_dir(snapshot_dir());
}

long network_trial_tick()
{
    trial_marker marker;
    if (!trial_marker_read(KIND, marker) || marker.stage == trial_stage::reverted)
        return -1;
    if (marker.stage == trial_stage::reverting) {
        qm_log(LOG_NOTICE, "Completing the interrupted revert of a network change.");
        revert(marker);
        return -1;
    }
    if (marker.seconds == 0)
        marker.seconds = settings_change_trial();
    trial_time now = trial_time_now();
    if (marker.boot != now.boot) {
        // The router rebooted while the change was on trial (the change's own reboot, or a power
        // cut): the trial starts again, but a change that keeps the router rebooting goes.
        if (++marker.boots > MAX_TRIAL_BOOTS) {
            qm_log(LOG_ERR, "Network change still on trial after %u reboots. Reverting it.", marker.boots);
            revert(marker);
            return -1;
        }
        marker.boot = now.boot;
        marker.deadline = deadline_from(now, marker.seconds);
        trial_marker_write(marker);
        qm_log(LOG_NOTICE, "Network change on trial after a reboot: %u s left.", marker.seconds);
    }
    if (now.uptime >= marker.deadline) {
        qm_log(LOG_ERR, "Network change not confirmed within %u s. Reverting it.", marker.seconds);
        revert(marker);
        return -1;
    }
    return static_cast<long>(marker.deadline - now.uptime);
}

void network_trial_at_start()
{
    held = false;
    remove_snapshot_dir(fresh_snapshot_dir());
    trial_marker marker;
    if (!trial_marker_read(KIND, marker)) {
        // Left by a change that never began, or by a confirmation cut short.
        remove_snapshot_dir(snapshot_dir());
        return;
    }
    long left = network_trial_tick();
    if (left >= 0)
        qm_log(LOG_NOTICE, "Network change on trial: %ld s left.", left);
}

void trial_system::sleep(std::chrono::milliseconds duration)
{
    using std::chrono::seconds;
    if (duration < seconds(1)) {
        inner_.sleep(duration);
        return;
    }
    const unsigned undone_before = reverts_done;
    while (duration > std::chrono::milliseconds(0) && !SIGTERM_ARRIVED) {
        long left = network_trial_tick();
        // A change undone during the pause ends it: what the daemon waited to try again is
        // tried at once, with the settings that worked.
        if (reverts_done != undone_before)
            return;
        std::chrono::milliseconds piece = duration;
        if (left >= 0 && seconds(left) < piece)
            piece = seconds(left > 0 ? left : 1);
        inner_.sleep(piece);
        duration -= piece;
    }
    network_trial_tick();
}
