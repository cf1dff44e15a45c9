#include "grafter/grafter.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "common/file_util.h"
#include "common/runner.h"
#include "grafter/package_check.h"
#include "grafter/settings_merge.h"

namespace {
const char* const WORK_DIR = "/tmp/vpn_module";
const char* const STAGING_DIR = "/tmp/vpn_module_tbd";
constexpr size_t max_module_name = 24;

struct dir_closer {
    void operator()(DIR* d) const { closedir(d); }
};

// The package path goes into the tar command line unquoted.
bool is_safe_path(const std::string& path)
{
    if (path.empty())
        return false;
    for (char c : path) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '/' || c == '_' || c == '-' || c == '+' || c == ',' || c == ':' || c == '@';
        if (!ok)
            return false;
    }
    return true;
}

bool is_directory(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Puts the new tree at `target` in one step. With an old tree there, the two change places, so
// a crash at any moment leaves one whole module at `target`; the old tree ends up at `staged`.
bool swap_in(const std::string& staged, const std::string& target, bool replace)
{
    if (!replace)
        return renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0 ||
               ((errno == EINVAL || errno == ENOSYS) && !file_exists(target) &&
                rename(staged.c_str(), target.c_str()) == 0);
    if (renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A filesystem without the exchange: two renames, the old tree moved aside first.
    const std::string aside = staged + ".old";
    run_shell("rm -rf " + aside);
    if (rename(target.c_str(), aside.c_str()) != 0)
        return false;
    if (rename(staged.c_str(), target.c_str()) != 0) {
        rename(aside.c_str(), target.c_str());
        return false;
    }
    run_shell("rm -rf " + aside);
    return true;
}
// The package was handled, so it leaves the staging directory. Other files staged beside it
// (a second module package, configuration files, scripts still to be applied) stay until they
// are handled; the directory goes once nothing is left in it.
void clean_staging(const std::string& package)
{
    const std::string prefix = std::string(STAGING_DIR) + "/";
    if (package.compare(0, prefix.size(), prefix) == 0 && package.find("/../") == std::string::npos &&
        is_safe_path(package))
        run_shell("rm -f " + package);
    run_shell(std::string("find ") + STAGING_DIR + " -type f 2>/dev/null | grep -q . || rm -rf " + STAGING_DIR);
}
}  // namespace

bool is_valid_module_name(const std::string& name)
{
    if (name.empty() || name.size() > max_module_name)
        return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

bool install_module(const std::string& name)
{
    const std::string target = "/opt/" + name;
    const std::string staged = "/opt/." + name + ".new";
    const std::string init = target + "/etc/init";
    const std::string settings = target + "/etc/settings";
    const std::string saved = std::string(WORK_DIR) + "/settings." + name;
    // A link left at /opt/<name> counts as an installed module too, so that it is replaced.
    struct stat st;
    const bool existed = lstat(target.c_str(), &st) == 0;

    // The new tree is copied beside the old one first; the old module is not touched until
    // the copy is complete.
    run_shell("rm -rf " + staged);
    if (run_shell("cp -rdf " + std::string(WORK_DIR) + "/" + name + " " + staged) != 0) {
        run_shell("rm -rf " + staged);
        return false;
    }

    if (existed) {
        run_shell(init + " stop");
        // Settings that cannot be saved would be lost: keep the old module then.
        if (file_exists(settings) && run_shell("cp " + settings + " " + saved) != 0) {
            run_shell("rm -rf " + staged);
            run_shell(init + " start");
            return false;
        }
    }
    if (!swap_in(staged, target, existed)) {
        run_shell("rm -rf " + staged);
        if (existed)
            run_shell(init + " start");
        return false;
    }
    // After the exchange the old tree lies where the new one was copied.
    run_shell("rm -rf " + staged);

    run_shell("rm -rf /var/www/" + name + "; ln -s " + target + "/www /var/www/" + name);
    const std::string install = target + "/etc/install";
    if (file_exists(install))
        run_shell(install);
    run_shell(init + " defaults");
    if (existed)
        merge_settings(settings.c_str(), saved.c_str());
    if (file_exists(init))
        run_shell(init + " start");
    return true;
}

int grafter_main(int argc, char** argv)
{
    if (argc != 2)
        return 1;
    int result = 1;
    const std::string package = argv[1];
    // The member list is checked before anything is unpacked: a package that would write
    // outside its module directories is refused whole.
    if (is_safe_path(package) && package_members_safe(package) &&
        run_shell(std::string("rm -rf ") + WORK_DIR + "; mkdir " + WORK_DIR + "; tar -xzf " + package + " -C " +
                  WORK_DIR + "/") == 0) {
        std::unique_ptr<DIR, dir_closer> listing(opendir(WORK_DIR));
        if (listing) {
            while (struct dirent* entry = readdir(listing.get())) {
                const std::string name = entry->d_name;
                if (!is_valid_module_name(name) || !is_directory(std::string(WORK_DIR) + "/" + name))
                    continue;
                if (install_module(name))
                    result = 0;
            }
        }
    }
    run_shell(std::string("rm -rf ") + WORK_DIR);
    clean_staging(package);
    return result;
}
