// The updater's main flow inside the router sandbox, with real tar and cp and module scripts
// that record how they were called.
#include "common/file_util.h"
#include "common/handles.h"
#include "common/system.h"
#include "grafter/grafter.h"
#include "support/test_support.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

// While set, the exchange of names fails with EINVAL, as on a file system that has none.
static bool no_exchange = false;

extern "C" int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned int flags) noexcept
{
    if (no_exchange && (flags & RENAME_EXCHANGE) != 0) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<int>(syscall(SYS_renameat2, from_dir, from, to_dir, to, flags));
}

namespace
{
const std::string RECORD = "/var/log/grafter_record";
const std::string SOURCE = "/var/data/grafter_src"; // module trees before packing
const std::string PACKAGE = "/tmp/vpn_module_tbd/module/pkg.tgz";

int sh(const std::string& command)
{
    return run_shell(command);
}

int run_grafter(std::vector<std::string> args)
{
    args.insert(args.begin(), "grafter");
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return grafter_main(static_cast<int>(args.size()), argv.data());
}

struct module_spec {
    std::string name;
    std::string version = "v1";
    std::string settings = "A=1\n";
    bool with_init = true;
    bool with_install = true;
    bool trial = false; // ships etc/trial
    int start_status = 0; // exit status of "init start"
};

// A module tree whose scripts append "<name>-<version> <what> [<settings as one line>]" to
// the record, so order and the settings seen at each call can be checked.
void make_module(const module_spec& m)
{
    const std::string dir = SOURCE + "/" + m.name;
    ASSERT_EQ(0, sh("mkdir -p " + dir + "/etc " + dir + "/www " + dir + "/bin"));
    write_file(dir + "/VERSION", m.version + "\n");
    write_file(dir + "/www/index.html", "<p>" + m.name + "</p>\n");
    write_file(dir + "/etc/settings", m.settings);
    const std::string tag = m.name + "-" + m.version;
    const std::string snapshot = "[$(tr '\\n' ' ' < /opt/" + m.name + "/etc/settings 2>/dev/null)]";
    if (m.with_init) {
        write_file(dir + "/etc/init",
            "#!/bin/sh\necho \"" + tag + " $1 " + snapshot + "\" >> " + RECORD + "\n[ \"$1\" = start ] && exit "
                + std::to_string(m.start_status) + "\nexit 0\n");
        chmod((dir + "/etc/init").c_str(), 0755);
    }
    if (m.trial)
        write_file(dir + "/etc/trial", "");
    if (m.with_install) {
        write_file(dir + "/etc/install", "#!/bin/sh\necho \"" + tag + " install $#\" >> " + RECORD + "\n");
        chmod((dir + "/etc/install").c_str(), 0755);
    }
}

void make_package(const std::string& path, std::initializer_list<std::string> entries)
{
    std::string names;
    for (const auto& e : entries)
        names += " " + e;
    ASSERT_EQ(0, sh("mkdir -p $(dirname " + path + ") && tar -czf " + path + " -C " + SOURCE + names));
}

std::vector<std::string> record()
{
    return split_lines(read_file(RECORD));
}

std::string installed_version(const std::string& name)
{
    return read_file("/opt/" + name + "/VERSION");
}

class grafter_sandbox : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(in_sandbox()) << "this test changes /opt, /tmp and /var/www and runs only in the router sandbox";
        ASSERT_EQ(0,
            sh("rm -rf /opt/* /opt/.[!.]* /var/www/* /tmp/vpn_module* " + SOURCE + " " + RECORD + " && mkdir -p "
                + SOURCE + " /var/www"));
    }

    // The work directory and the staging directory.
    void expect_work_dirs_gone() { EXPECT_EQ(std::vector<std::string> {}, matching_paths("/tmp/vpn_module*")); }

    // Installs version v1 of `name` with edited settings, as found on a router before an update.
    void install_old(const std::string& name, const std::string& settings)
    {
        make_module({ name, "v1", "A=1\nB=2\n" });
        make_package(PACKAGE, { name });
        ASSERT_EQ(0, run_grafter({ PACKAGE }));
        write_file("/opt/" + name + "/etc/settings", settings);
        sh("rm -rf " + SOURCE + "/" + name + " " + RECORD);
    }
};
} // namespace

TEST_F(grafter_sandbox, first_installation_runs_install_defaults_and_start_only)
{
    make_module({ "a_b", "v1", "A=1\n" });
    make_package(PACKAGE, { "a_b" });
    EXPECT_EQ(0, run_grafter({ PACKAGE }));
    EXPECT_EQ("v1\n", installed_version("a_b"));
    EXPECT_EQ(
        (std::vector<std::string> { "a_b-v1 install 0", "a_b-v1 defaults [A=1 ]", "a_b-v1 start [A=1 ]" }), record());
    char link[256] = {};
    ASSERT_GT(readlink("/var/www/a_b", link, sizeof link - 1), 0);
    EXPECT_STREQ("/opt/a_b/www", link);
    EXPECT_EQ("<p>a_b</p>\n", read_file("/var/www/a_b/index.html"));
    EXPECT_FALSE(file_exists("/opt/.a_b.new"));
    expect_work_dirs_gone();
}

TEST_F(grafter_sandbox, installs_only_directories_with_valid_module_names)
{
    make_module({ "my-module" });
    make_module({ "a_b" });
    make_module({ std::string(24, 'x') });
    write_file(SOURCE + "/plainfile", "not a module\n");
    make_package(PACKAGE, { "my-module", "a_b", std::string(24, 'x'), "plainfile" });
    EXPECT_EQ(0, run_grafter({ PACKAGE }));
    EXPECT_TRUE(file_exists("/opt/a_b/etc/init"));
    EXPECT_TRUE(file_exists("/opt/" + std::string(24, 'x') + "/etc/init"));
    EXPECT_FALSE(file_exists("/opt/my-module"));
    EXPECT_FALSE(file_exists("/opt/plainfile"));
    expect_work_dirs_gone();
}

TEST_F(grafter_sandbox, a_package_without_a_valid_module_installs_nothing_and_exits_1)
{
    const std::string long_name(25, 'n');
    make_module({ long_name });
    make_package(PACKAGE, { long_name });
    EXPECT_EQ(1, run_grafter({ PACKAGE }));
    EXPECT_FALSE(file_exists("/opt/" + long_name));
    EXPECT_TRUE(record().empty());
    expect_work_dirs_gone();
}

TEST_F(grafter_sandbox, a_package_that_cannot_be_unpacked_exits_1_and_cleans_up)
{
    sh("mkdir -p /tmp/vpn_module_tbd/module");
    write_file(PACKAGE, "this is not gzip\n");
    EXPECT_EQ(1, run_grafter({ PACKAGE }));
    expect_work_dirs_gone();
    EXPECT_EQ(1, run_grafter({ "/tmp/does_not_exist.tgz" }));
    expect_work_dirs_gone();
}

TEST_F(grafter_sandbox, a_package_path_with_shell_characters_is_not_run)
{
    make_module({ "a_b" });
    make_package(PACKAGE, { "a_b" });
    EXPECT_EQ(1, run_grafter({ PACKAGE + ";touch /tmp/injected" }));
    EXPECT_FALSE(file_exists("/tmp/injected"));
    EXPECT_FALSE(file_exists("/opt/a_b"));
    EXPECT_EQ(std::vector<std::string> {}, matching_paths("/tmp/vpn_module.*"));
}

TEST_F(grafter_sandbox, other_staged_files_stay_until_they_are_handled)
{
    make_module({ "a_b" });
    make_package(PACKAGE, { "a_b" });
    make_package("/tmp/vpn_module_tbd/module/next.tgz", { "a_b" });
    EXPECT_EQ(0, run_grafter({ PACKAGE }));
    EXPECT_FALSE(file_exists(PACKAGE));
    EXPECT_TRUE(file_exists("/tmp/vpn_module_tbd/module/next.tgz"));
    EXPECT_EQ(0, run_grafter({ "/tmp/vpn_module_tbd/module/next.tgz" }));
    expect_work_dirs_gone();
}

// Another user of the router plants a link at the old fixed work path, and wins the race to plant
// it again right after root removed it (played by a stand-in mkdir). The run neither follows nor
// removes it, nor another user's look-alike of its own work directory; the one a killed run
// left behind an hour ago goes.
TEST_F(grafter_sandbox, works_in_a_private_directory_whatever_others_planted_in_tmp)
{
    const std::string plant = "ln -s /var/data/evil /tmp/vpn_module && chown -h nobody /tmp/vpn_module";
    ASSERT_EQ(0,
        sh("rm -rf /var/data/evil && mkdir -p /var/data/evil && chown nobody /var/data/evil && " + plant
            + " && mkdir -m 700 /tmp/vpn_module.others /tmp/vpn_module.killed /tmp/vpn_module.runnin && "
              "chown nobody /tmp/vpn_module.others && touch /tmp/vpn_module.others/mine "
              "/tmp/vpn_module.killed/left && touch -d '2 hours ago' /tmp/vpn_module.killed"));
    path_stand_ins stand_ins;
    stand_ins.add("mkdir", "[ \"$1\" = /tmp/vpn_module ] && { " + plant + "; }\nexec /bin/mkdir \"$@\"\n");
    install_old("mod", "A=edited\n");
    make_module({ "mod", "v2" });
    make_package(PACKAGE, { "mod" });
    EXPECT_EQ(0, run_grafter({ PACKAGE }));
    EXPECT_EQ("v2\n", installed_version("mod"));
    EXPECT_EQ("A=edited\n", read_file("/opt/mod/etc/settings"));
    char link[64] = {};
    EXPECT_GT(readlink("/tmp/vpn_module", link, sizeof link - 1), 0);
    EXPECT_STREQ("/var/data/evil", link);
    EXPECT_EQ(std::vector<std::string> {}, matching_paths("/var/data/evil/*"));
    // A recent one may be another run's at this very moment: it stays.
    EXPECT_EQ((std::vector<std::string> { "/tmp/vpn_module", "/tmp/vpn_module.others", "/tmp/vpn_module.runnin" }),
        matching_paths("/tmp/vpn_module*"));
    EXPECT_TRUE(file_exists("/tmp/vpn_module.others/mine"));
}

// Where others may rename what root makes in /tmp, no name there is safe: the run stops at once.
TEST_F(grafter_sandbox, refuses_to_work_in_a_tmp_that_others_can_rename_in)
{
    make_module({ "a_b" });
    make_package(PACKAGE, { "a_b" });
    log_capture log;
    ASSERT_EQ(0, sh("chmod 0777 /tmp"));
    const int status = run_grafter({ PACKAGE });
    sh("chmod 1777 /tmp");
    EXPECT_EQ(1, status);
    EXPECT_TRUE(log.contains(LOG_ERR, "Not able to create a private work directory in /tmp"));
    EXPECT_FALSE(file_exists("/opt/a_b"));
    EXPECT_TRUE(record().empty());
    expect_work_dirs_gone();
}

// With a package signing key installed (by the module's own package), only a package whose
// detached signature matches it is unpacked; anything else is refused with nothing touched.
TEST_F(grafter_sandbox, with_a_signing_key_only_validly_signed_packages_are_installed)
{
    const std::string keys = "/var/data/grafter_keys";
    ASSERT_EQ(0,
        sh("rm -rf " + keys + " && mkdir -p " + keys + " && cd " + keys
            + " && openssl genpkey -algorithm ed25519 -out ed.key && openssl pkey -in ed.key -pubout -out ed.pem"
              " && openssl genpkey -algorithm ed25519 -out other.key"
              " && openssl ecparam -name prime256v1 -genkey -noout -out ec.key"
              " && openssl pkey -in ec.key -pubout -out ec.pem"));
    const std::string ed_sign
        = "openssl pkeyutl -sign -rawin -inkey " + keys + "/ed.key -in " + PACKAGE + " -out " + PACKAGE + ".sig";
    const struct {
        const char* what;
        std::string key;
        std::string sign;
        bool changed_after_signing;
        bool installed;
    } rows[] = {
        { "Ed25519, signed", "ed.pem", ed_sign, false, true },
        { "P-256, signed", "ec.pem",
            "openssl dgst -sha256 -sign " + keys + "/ec.key -out " + PACKAGE + ".sig " + PACKAGE, false, true },
        { "no signature", "ed.pem", "true", false, false },
        { "signed by another key", "ed.pem",
            "openssl pkeyutl -sign -rawin -inkey " + keys + "/other.key -in " + PACKAGE + " -out " + PACKAGE + ".sig",
            false, false },
        { "changed after signing", "ed.pem", ed_sign, true, false },
        { "no key installed, no signature", "", "true", false, true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(0, sh("rm -rf /opt/* /tmp/vpn_module* " + SOURCE + " " + RECORD + " && mkdir -p /opt/quillmesh/etc"));
        if (!row.key.empty()) {
            ASSERT_EQ(0, sh("cp " + keys + "/" + row.key + " /opt/quillmesh/etc/package_signing.pem"));
        }
        make_module({ "sig_mod", "v1" });
        make_package(PACKAGE, { "sig_mod" });
        ASSERT_EQ(0, sh(row.sign));
        if (row.changed_after_signing) {
            make_module({ "sig_mod", "v2" });
            make_package(PACKAGE, { "sig_mod" });
        }
        EXPECT_EQ(row.installed ? 0 : 1, run_grafter({ PACKAGE }));
        EXPECT_EQ(row.installed, file_exists("/opt/sig_mod"));
        EXPECT_EQ(row.installed, !record().empty());
        EXPECT_FALSE(file_exists(PACKAGE + ".sig"));
        expect_work_dirs_gone();
    }
    sh("rm -rf " + keys);
}

TEST_F(grafter_sandbox, reinstall_stops_saves_and_merges_after_defaults_before_start)
{
    path_stand_ins stand_ins;
    stand_ins.add("sync", "echo sync >> " + RECORD + "\n");
    for (const bool exchange : { true, false }) {
        SCOPED_TRACE(exchange ? "names exchanged" : "no exchange of names");
        no_exchange = !exchange;
        ASSERT_EQ(0, sh("rm -rf /opt/* /opt/.[!.]* " + SOURCE + " " + RECORD + " && mkdir -p " + SOURCE));
        install_old("mod", "A=edited value\nB=2\nOLD=gone\n");
        make_module({ "mod", "v2", "A=1\nB=2\nC=3\n" });
        make_package(PACKAGE, { "mod" });
        EXPECT_EQ(0, run_grafter({ PACKAGE }));
        EXPECT_EQ("v2\n", installed_version("mod"));
        // The new tree is on the flash before the old module stops, and the swap before anything
        // of the new module runs.
        EXPECT_EQ((std::vector<std::string> {
                      "sync",
                      "mod-v1 stop [A=edited value B=2 OLD=gone ]",
                      "sync",
                      "mod-v2 install 0",
                      "mod-v2 defaults [A=1 B=2 C=3 ]",
                      "mod-v2 start [A=\"edited value\" B=2 C=3 ]",
                  }),
            record());
        EXPECT_EQ("A=\"edited value\"\nB=2\nC=3\n", read_file("/opt/mod/etc/settings"));
        // Without etc/trial nothing of the old module is kept.
        EXPECT_EQ(std::vector<std::string> {}, matching_paths("/opt/.mod*"));
        expect_work_dirs_gone();
    }
    no_exchange = false;
}

TEST_F(grafter_sandbox, reinstall_without_old_settings_keeps_the_new_defaults)
{
    install_old("mod", "");
    sh("rm /opt/mod/etc/settings");
    make_module({ "mod", "v2", "A=1\n" });
    make_package(PACKAGE, { "mod" });
    EXPECT_EQ(0, run_grafter({ PACKAGE }));
    EXPECT_EQ("A=1\n", read_file("/opt/mod/etc/settings"));
    EXPECT_EQ("mod-v2 start [A=1 ]", record().back());
}

TEST_F(grafter_sandbox, a_module_without_scripts_is_installed_and_not_started)
{
    make_module({ "plain", "v1", "A=1\n", false, false });
    make_package(PACKAGE, { "plain" });
    EXPECT_EQ(0, run_grafter({ PACKAGE }));
    EXPECT_EQ("v1\n", installed_version("plain"));
    EXPECT_TRUE(record().empty());
}

TEST_F(grafter_sandbox, replaces_every_file_of_the_old_tree)
{
    install_old("mod", "A=1\n");
    write_file("/opt/mod/leftover", "from v1\n");
    make_module({ "mod", "v2" });
    make_package(PACKAGE, { "mod" });
    EXPECT_EQ(0, run_grafter({ PACKAGE }));
    EXPECT_FALSE(file_exists("/opt/mod/leftover"));
    EXPECT_EQ("v2\n", installed_version("mod"));
}

// /opt gets a small filesystem of its own for one test, so that copying a large module fails
// for lack of space.
class small_opt
{
public:
    small_opt() { mounted_ = sh("mount -t tmpfs -o size=512k tmpfs /opt") == 0; }
    ~small_opt()
    {
        if (mounted_)
            sh("umount /opt");
    }
    bool mounted() const { return mounted_; }

private:
    bool mounted_ = false;
};

TEST_F(grafter_sandbox, a_failed_copy_keeps_the_old_module_installed_and_running)
{
    small_opt opt;
    ASSERT_TRUE(opt.mounted());
    install_old("mod", "A=edited\n");
    make_module({ "mod", "v2" });
    ASSERT_EQ(0, sh("head -c 1048576 /dev/zero > " + SOURCE + "/mod/bin/big"));
    make_package(PACKAGE, { "mod" });
    EXPECT_EQ(1, run_grafter({ PACKAGE }));
    EXPECT_EQ("v1\n", installed_version("mod"));
    EXPECT_EQ("A=edited\n", read_file("/opt/mod/etc/settings"));
    EXPECT_FALSE(file_exists("/opt/.mod.new"));
    // Never stopped, so the module is still running as it was.
    EXPECT_TRUE(record().empty());
    expect_work_dirs_gone();
}

// The failed update gives the open trial no new time: its deadline stays as it was.
TEST_F(grafter_sandbox, a_failed_copy_over_an_open_trial_leaves_that_trial_as_it_was)
{
    small_opt opt;
    ASSERT_TRUE(opt.mounted());
    install_old("mod", "A=edited\n");
    make_module({ "mod", "v2", "A=1\n", true, true, true });
    make_package(PACKAGE, { "mod" });
    ASSERT_EQ(0, run_grafter({ PACKAGE }));
    ASSERT_EQ(0, sh("sed -i 's/^START=.*/START=1/; s/^DEADLINE=.*/DEADLINE=2/' /opt/.mod.trial"));
    const std::string open_trial = read_file("/opt/.mod.trial");
    make_module({ "mod", "v3", "A=1\n", true, true, true });
    ASSERT_EQ(0, sh("head -c 1048576 /dev/zero > " + SOURCE + "/mod/bin/big"));
    make_package(PACKAGE, { "mod" });
    EXPECT_EQ(1, run_grafter({ PACKAGE }));
    EXPECT_EQ("v2\n", installed_version("mod"));
    EXPECT_EQ(open_trial, read_file("/opt/.mod.trial"));
}

TEST_F(grafter_sandbox, a_failed_copy_of_one_module_does_not_stop_the_others)
{
    small_opt opt;
    ASSERT_TRUE(opt.mounted());
    make_module({ "big" });
    ASSERT_EQ(0, sh("head -c 1048576 /dev/zero > " + SOURCE + "/big/bin/big"));
    make_module({ "small" });
    make_package(PACKAGE, { "big", "small" });
    EXPECT_EQ(0, run_grafter({ PACKAGE }));
    EXPECT_FALSE(file_exists("/opt/big"));
    EXPECT_FALSE(file_exists("/opt/.big.new"));
    EXPECT_FALSE(file_exists("/var/www/big"));
    EXPECT_EQ("v1\n", installed_version("small"));
    for (const auto& line : record())
        EXPECT_EQ(0u, line.rfind("small-v1 ", 0)) << line;
}

TEST_F(grafter_sandbox, a_dangling_link_in_place_of_the_module_is_replaced)
{
    ASSERT_EQ(0, sh("ln -s /nonexistent /opt/mod"));
    make_module({ "mod", "v2" });
    make_package(PACKAGE, { "mod" });
    EXPECT_EQ(0, run_grafter({ PACKAGE }));
    EXPECT_EQ("v2\n", installed_version("mod"));
    EXPECT_FALSE(file_exists("/opt/.mod.new"));
}

// A module that ships etc/trial keeps the tree it replaces, with its settings as they were, and
// says so in the marker; the rollback exchanges the trees back and leaves nothing behind. So it
// does on a file system that cannot exchange names.
TEST_F(grafter_sandbox, an_update_on_trial_keeps_the_old_tree_until_rolled_back)
{
    for (const bool exchange : { true, false }) {
        SCOPED_TRACE(exchange ? "names exchanged" : "no exchange of names");
        no_exchange = !exchange;
        ASSERT_EQ(0, sh("rm -rf /opt/* /opt/.[!.]* " + SOURCE + " " + RECORD + " && mkdir -p " + SOURCE));
        install_old("mod", "A=edited\nMOD_MOD_UPDATE_TRIAL=42\n");
        make_module({ "mod", "v2", "A=1\nMOD_MOD_UPDATE_TRIAL=600\n", true, true, true });
        make_package(PACKAGE, { "mod" });
        const long before = static_cast<long>(time(nullptr));
        EXPECT_EQ(0, run_grafter({ PACKAGE }));
        EXPECT_EQ("v2\n", installed_version("mod"));
        EXPECT_EQ("v1\n", read_file("/opt/.mod.prev/VERSION"));
        EXPECT_EQ("A=edited\nMOD_MOD_UPDATE_TRIAL=42\n", read_file("/opt/.mod.prev/etc/settings"));
        const auto marker = split_lines(read_file("/opt/.mod.trial"));
        ASSERT_EQ(4u, marker.size());
        EXPECT_EQ("KEPT=/opt/.mod.prev", marker[0]);
        const long start = std::stol(marker[2].substr(6));
        EXPECT_LE(before, start);
        EXPECT_EQ("DEADLINE=" + std::to_string(start + 42), marker[3]);
        // The settings were carried over before the swap: a power cut after it keeps them.
        EXPECT_EQ("mod-v2 defaults [A=edited MOD_MOD_UPDATE_TRIAL=42 ]", record().at(2));

        ASSERT_EQ(0, sh("rm -f " + RECORD));
        EXPECT_EQ(0, run_grafter({ "--rollback", "mod" }));
        EXPECT_EQ("v1\n", installed_version("mod"));
        EXPECT_EQ("A=edited\nMOD_MOD_UPDATE_TRIAL=42\n", read_file("/opt/mod/etc/settings"));
        EXPECT_EQ(std::vector<std::string> { "mod-v1 install 0" }, record()); // sets back what v2's changed
        EXPECT_EQ(std::vector<std::string> {}, matching_paths("/opt/.mod*"));
        EXPECT_EQ(1, run_grafter({ "--rollback", "mod" }));
    }
    no_exchange = false;
}

// A second update while the first is still on trial: what is kept is the last version that was
// committed, not the one on trial.
TEST_F(grafter_sandbox, an_update_during_an_open_trial_keeps_the_last_committed_tree)
{
    install_old("mod", "A=edited\n");
    for (const char* version : { "v2", "v3" }) {
        make_module({ "mod", version, "A=1\n", true, true, true });
        make_package(PACKAGE, { "mod" });
        EXPECT_EQ(0, run_grafter({ PACKAGE }));
    }
    EXPECT_EQ("v3\n", installed_version("mod"));
    EXPECT_EQ("v1\n", read_file("/opt/.mod.prev/VERSION"));
    EXPECT_EQ(0, run_grafter({ "--rollback", "mod" }));
    EXPECT_EQ("v1\n", installed_version("mod"));
    EXPECT_EQ(std::vector<std::string> {}, matching_paths("/opt/.mod*"));
}

TEST_F(grafter_sandbox, an_update_on_trial_whose_init_fails_is_rolled_back_at_once)
{
    install_old("mod", "A=edited\n");
    make_module({ "mod", "v2", "A=1\n", true, true, true, 1 });
    make_package(PACKAGE, { "mod" });
    EXPECT_EQ(0, run_grafter({ PACKAGE }));
    EXPECT_EQ("v1\n", installed_version("mod"));
    EXPECT_EQ("mod-v1 start [A=edited ]", record().back());
    EXPECT_EQ(std::vector<std::string> {}, matching_paths("/opt/.mod*"));
}

// A power cut after the marker was written but before the swap: the old module never left, and
// the rollback only clears what the update staged. The same state while grafter is still staging
// is left to it.
TEST_F(grafter_sandbox, a_rollback_of_an_update_cut_off_before_its_swap_keeps_the_old_module)
{
    install_old("mod", "A=edited\n");
    ASSERT_EQ(0,
        sh("cp -r /opt/mod /opt/.mod.prev && echo v2 > /opt/.mod.prev/VERSION && "
           "printf 'KEPT=/opt/.mod.prev\\nKEPT_INODE='$(stat -c %i /opt/mod)'\\nSTART=1\\nDEADLINE=2\\n' "
           "> /opt/.mod.trial"));
    {
        fd_owner grafter_at_work(open("/opt/.grafter.lock", O_RDWR | O_CREAT, 0600));
        ASSERT_EQ(0, flock(grafter_at_work.fd, LOCK_EX));
        EXPECT_EQ(2, run_grafter({ "--rollback", "mod" }));
        EXPECT_EQ("v2\n", read_file("/opt/.mod.prev/VERSION"));
        EXPECT_TRUE(file_exists("/opt/.mod.trial"));
    }
    EXPECT_EQ(0, run_grafter({ "--rollback", "mod" }));
    EXPECT_EQ("v1\n", installed_version("mod"));
    EXPECT_EQ(std::vector<std::string> {}, matching_paths("/opt/.mod*"));
}

// The router is off when the trial runs out and at boot the rollback cannot be done (here: no
// grafter to do it): the trial ends and the new module starts, rather than never again.
TEST_F(grafter_sandbox, a_trial_that_cannot_be_rolled_back_at_boot_ends_and_the_new_module_starts)
{
    install_old("mod", "A=edited\n");
    make_module({ "mod", "v2", "A=1\n", true, true, true });
    make_package(PACKAGE, { "mod" });
    ASSERT_EQ(0, run_grafter({ PACKAGE }));
    ASSERT_EQ(0, sh("sed -i 's/^DEADLINE=.*/DEADLINE=1/' /opt/.mod.trial && rm -f " + RECORD));
    EXPECT_EQ(0, sh("/opt/mod/etc/init start"));
    EXPECT_EQ(std::vector<std::string> { "mod-v2 start [A=edited ]" }, record());
    EXPECT_FALSE(file_exists("/opt/.mod.trial"));
    EXPECT_FALSE(file_exists("/opt/mod/etc/init.on_trial"));
}
