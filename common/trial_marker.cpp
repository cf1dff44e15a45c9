#include "common/trial_marker.h"

#include "common/handles.h"
#include "common/log.h"
#include "common/settings_file.h"
#include "common/system.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

const char* const TRIAL_DIR = "/var/data/quillmesh_certs/trial";

namespace
{
const char* const BOOT_ID_PATH = "/proc/sys/kernel/random/boot_id";

const struct {
    trial_stage stage;
    const char* text;
} stage_texts[] = {
    { trial_stage::on_trial, "on_trial" },
    { trial_stage::reverting, "reverting" },
    { trial_stage::reverted, "reverted" },
};

const char* stage_text(trial_stage stage)
{
    for (const auto& s : stage_texts) {
        if (s.stage == stage)
            return s.text;
    }
    return "";
}

unsigned long number(const settings_map& map, const char* key)
{
    auto found = map.find(key);
    return found == map.end() ? 0 : strtoul(found->second.c_str(), nullptr, 10);
}

std::string text(const settings_map& map, const char* key)
{
    auto found = map.find(key);
    return found == map.end() ? std::string() : found->second;
}

bool make_dir(const std::string& path)
{
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST)
        return true;
    qm_log(LOG_ERR, "Not able to create directory %s: %s", path.c_str(), strerror(errno));
    return false;
}
} // namespace

trial_time trial_time_now()
{
    trial_time now;
    file_ptr file(fopen(BOOT_ID_PATH, "re"));
    char line[64] = { 0 };
    if (file && fgets(line, sizeof line, file.get()))
        now.boot.assign(line, strcspn(line, "\n"));
    struct timespec ts = {};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    now.uptime = static_cast<unsigned long>(ts.tv_sec);
    return now;
}

bool trial_dir_ready(const std::string& dir)
{
    size_t slash = dir.rfind('/');
    if (slash != std::string::npos && slash > 0 && !make_dir(dir.substr(0, slash)))
        return false;
    if (!make_dir(dir))
        return false;
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()
        || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        qm_log(LOG_ERR, "Refused %s: it is not a directory that only root can write.", dir.c_str());
        return false;
    }
    return true;
}

std::string trial_marker_path(const std::string& kind, const std::string& dir)
{
    return dir + "/" + kind + ".marker";
}

bool trial_marker_read(const std::string& kind, trial_marker& marker, const std::string& dir)
{
    const std::string path = trial_marker_path(kind, dir);
    if (access(path.c_str(), F_OK) != 0)
        return false;
    settings_map map;
    settings_load_map(path, map);
    marker = trial_marker();
    marker.kind = text(map, "TRIAL_KIND");
    bool stage_known = false;
    for (const auto& s : stage_texts) {
        if (text(map, "TRIAL_STAGE") == s.text) {
            marker.stage = s.stage;
            stage_known = true;
        }
    }
    if (marker.kind != kind || !stage_known) {
        qm_log(LOG_ERR, "Ignoring the unreadable trial marker %s.", path.c_str());
        return false;
    }
    marker.boot = text(map, "TRIAL_BOOT");
    marker.deadline = number(map, "TRIAL_DEADLINE");
    marker.seconds = static_cast<unsigned>(number(map, "TRIAL_SECONDS"));
    marker.boots = static_cast<unsigned>(number(map, "TRIAL_BOOTS"));
    marker.undo = text(map, "TRIAL_UNDO");
    marker.apply = text(map, "TRIAL_APPLY");
    return true;
}

bool trial_marker_write(const trial_marker& marker, const std::string& dir)
{
    const std::string path = trial_marker_path(marker.kind, dir);
    atomic_file out(path, 0600);
    if (out) {
        fprintf(out.get(),
            "TRIAL_KIND=%s\nTRIAL_STAGE=%s\nTRIAL_BOOT=%s\nTRIAL_DEADLINE=%lu\nTRIAL_SECONDS=%u\nTRIAL_BOOTS=%u\n"
            "TRIAL_UNDO=%s\nTRIAL_APPLY=%s\n",
            marker.kind.c_str(), stage_text(marker.stage), marker.boot.c_str(), marker.deadline, marker.seconds,
            marker.boots, marker.undo.c_str(), marker.apply.c_str());
        if (out.commit() == 0)
            return true;
    }
    qm_log(LOG_ERR, "Not able to write the trial marker %s: %s", path.c_str(), strerror(errno));
    return false;
}

bool trial_marker_remove(const std::string& kind, const std::string& dir)
{
    const std::string path = trial_marker_path(kind, dir);
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        qm_log(LOG_ERR, "Not able to remove the trial marker %s: %s", path.c_str(), strerror(errno));
        return false;
    }
    // The removal must reach the flash before whatever the caller does next.
    fd_owner parent(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.fd >= 0)
        sync_to_storage(parent.fd);
    return true;
}
