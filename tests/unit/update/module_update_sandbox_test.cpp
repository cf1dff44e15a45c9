// Applying staged files and downloading the module package, inside the router sandbox: real
// bash, curl, tar and grafter; recording stand-ins for restore, reboot and (where the updater
// itself is not under test) grafter; an HTTPS server on the CS side.
#include "common/file_util.h"
#include "common/system.h"
#include "common/trial_marker.h"
#include "support/test_support.h"
#include "trial/network_trial.h"
#include "update/module_update.h"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace
{
const std::string RECORD = "/var/log/update_record";
const std::string STANDINS = "/var/data/qm_update_standins";
const std::string WWW_ROOT = "/var/data/qm_update_www";
const std::string SERVER_LOG = "/var/log/module_server.log";
const std::string SERVER_READY = "/var/data/module_server.ready";
const std::string GRAFTER = "/opt/quillmesh/bin/grafter";

int sh(const std::string& command)
{
    return run_shell(command);
}

void write_script(const std::string& path, const std::string& body)
{
    write_file(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

std::vector<std::string> record()
{
    return split_lines(read_file(RECORD));
}

// The grafter stand-in records its argument and fails for packages named *fail*.
void install_recording_grafter()
{
    ASSERT_EQ(0, sh("mkdir -p /opt/quillmesh/bin"));
    write_script(GRAFTER, "echo \"grafter $*\" >> " + RECORD + "\ncase \"$1\" in *fail*) exit 1;; esac\n");
}

class module_update_sandbox : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (!in_sandbox())
            return;
        // restore fails for files that contain FAIL; reboot only records.
        sh("mkdir -p " + STANDINS);
        write_script(
            STANDINS + "/restore", "echo \"restore $*\" >> " + RECORD + "\ngrep -q FAIL \"$1\" && exit 1\nexit 0\n");
        write_script(STANDINS + "/reboot", "echo \"reboot $*\" >> " + RECORD + "\n");
        const char* path = getenv("PATH");
        setenv("PATH", (STANDINS + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    }

    void SetUp() override
    {
        ASSERT_TRUE(in_sandbox()) << "this test changes /tmp and /opt and runs only in the router sandbox";
        ASSERT_EQ(
            0, sh("rm -rf /tmp/vpn_module_tbd /tmp/vpn_module /opt/* /opt/.[!.]* /var/data/quillmesh_certs " + RECORD));
        network_trial_at_start();
    }

    void stage(const std::string& kind, const std::string& name, const std::string& content)
    {
        ASSERT_EQ(0, sh("mkdir -p /tmp/vpn_module_tbd/" + kind));
        write_file("/tmp/vpn_module_tbd/" + kind + "/" + name, content);
    }

    log_capture log;
};
} // namespace

// The daemon in "Listening" commits an update on trial: the module's own init replaces grafter's
// guard, the marker and the kept tree (whose links are removed, never followed) go; without a
// marker only a kept tree left by a commit cut off by a power cut goes; nothing while the kept
// tree is the module in place.
TEST_F(module_update_sandbox, the_commit_removes_the_kept_tree_and_the_marker_once)
{
    ASSERT_EQ(0,
        sh("mkdir -p /opt/quillmesh/etc /opt/.quillmesh.prev/etc /var/data/precious && "
           "touch /var/data/precious/file && ln -s /var/data/precious /opt/.quillmesh.prev/link && "
           "echo guard > /opt/quillmesh/etc/init && echo own > /opt/quillmesh/etc/init.on_trial && "
           "echo KEPT_INODE=$(stat -c %i /opt/quillmesh) > /opt/.quillmesh.trial"));
    // While the tree the marker kept is the module in place, the update is not the daemon's.
    commit_module_update();
    EXPECT_EQ((std::vector<std::string> { "/opt/.quillmesh.prev", "/opt/.quillmesh.trial" }),
        matching_paths("/opt/.quillmesh*"));
    EXPECT_TRUE(log.lines().empty());
    // A marker that cannot be removed keeps the guard with the own init beside it: a marker
    // without the own init would make the guard roll back at the next start.
    ASSERT_EQ(0, sh("rm /opt/.quillmesh.trial && mkdir -p /opt/.quillmesh.trial/x"));
    commit_module_update();
    EXPECT_EQ("guard\n", read_file("/opt/quillmesh/etc/init"));
    log.clear();
    ASSERT_EQ(0, sh("rm -r /opt/.quillmesh.trial && echo KEPT_INODE=1 > /opt/.quillmesh.trial"));
    commit_module_update();
    EXPECT_EQ(std::vector<std::string> {}, matching_paths("/opt/.quillmesh*"));
    EXPECT_EQ(std::vector<std::string> { "/opt/quillmesh/etc/init" }, matching_paths("/opt/quillmesh/etc/init*"));
    EXPECT_EQ("own\n", read_file("/opt/quillmesh/etc/init"));
    EXPECT_TRUE(file_exists("/var/data/precious/file"));
    ASSERT_EQ(0, sh("mkdir -p /opt/.quillmesh.prev/etc"));
    commit_module_update();
    EXPECT_EQ(std::vector<std::string> {}, matching_paths("/opt/.quillmesh*"));
    EXPECT_EQ(1u, log.lines().size());
    EXPECT_TRUE(log.contains(LOG_NOTICE, "Module update committed."));
    sh("rm -rf /var/data/precious");
}

TEST_F(module_update_sandbox, a_missing_directory_is_false_and_silent)
{
    EXPECT_FALSE(run_for_each_file("/tmp/vpn_module_tbd/script/", "bash", "Script failed: "));
    EXPECT_FALSE(module_install());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(module_update_sandbox, an_empty_directory_is_true)
{
    ASSERT_EQ(0, sh("mkdir -p /tmp/vpn_module_tbd/module"));
    install_recording_grafter();
    EXPECT_TRUE(module_install());
    EXPECT_TRUE(record().empty());
}

TEST_F(module_update_sandbox, runs_the_command_for_regular_files_only)
{
    stage("script", "x.sh", "echo ran x >> " + RECORD + "\n");
    ASSERT_EQ(0, sh("mkdir /tmp/vpn_module_tbd/script/subdir && ln -s /etc/hostname /tmp/vpn_module_tbd/script/link"));
    EXPECT_TRUE(run_for_each_file("/tmp/vpn_module_tbd/script/", "bash", "Script failed: "));
    EXPECT_EQ(std::vector<std::string> { "ran x" }, record());
    EXPECT_EQ(
        (std::vector<log_line> { { LOG_DEBUG, "Update command: bash /tmp/vpn_module_tbd/script/x.sh" } }), log.lines());
}

TEST_F(module_update_sandbox, a_failing_command_is_logged_and_the_other_files_still_run)
{
    stage("script", "bad.sh", "exit 3\n");
    stage("script", "good.sh", "echo ran good >> " + RECORD + "\n");
    EXPECT_FALSE(run_for_each_file("/tmp/vpn_module_tbd/script/", "bash", "Script failed: "));
    EXPECT_EQ(std::vector<std::string> { "ran good" }, record());
    EXPECT_TRUE(log.contains(LOG_ERR, "Script failed: bad.sh"));
    EXPECT_FALSE(log.contains_text("Script failed: good.sh"));
}

TEST_F(module_update_sandbox, a_file_name_with_shell_characters_is_refused_not_run)
{
    stage("script", "x;touch /tmp/injected", "true\n");
    stage("script", "a b.sh", "echo ran >> " + RECORD + "\n");
    EXPECT_FALSE(run_for_each_file("/tmp/vpn_module_tbd/script/", "bash", "Script failed: "));
    EXPECT_FALSE(file_exists("/tmp/injected"));
    EXPECT_TRUE(record().empty());
    EXPECT_TRUE(log.contains(LOG_ERR, "Script failed: a b.sh"));
}

TEST_F(module_update_sandbox, a_failing_restore_suppresses_the_reboot_but_not_the_other_files)
{
    stage("config", "a.cfg", "FAIL\n");
    stage("config", "b.cfg", "ETH_IPADDR=192.168.1.1\n");
    apply_staged_files();
    auto calls = record();
    std::sort(calls.begin(), calls.end());
    EXPECT_EQ((std::vector<std::string> {
                  "restore /tmp/vpn_module_tbd/config/a.cfg", "restore /tmp/vpn_module_tbd/config/b.cfg" }),
        calls);
    EXPECT_TRUE(log.contains(LOG_ERR, "Configuration not changed or not updated from a.cfg"));
    EXPECT_FALSE(file_exists("/tmp/vpn_module_tbd"));
    EXPECT_TRUE(network_trial_awaits_cs()); // on trial, and no reboot follows that this daemon would wait for
}

TEST_F(module_update_sandbox, restored_configuration_reboots_once_after_everything_else)
{
    stage("config", "a.cfg", "X=1\n");
    stage("script", "s.sh", "echo script >> " + RECORD + "\n");
    stage("module", "m.tgz", "package\n");
    install_recording_grafter();
    apply_staged_files();
    EXPECT_EQ((std::vector<std::string> { "restore /tmp/vpn_module_tbd/config/a.cfg", "script",
                  "grafter /tmp/vpn_module_tbd/module/m.tgz", "reboot " }),
        record());
    EXPECT_FALSE(file_exists("/tmp/vpn_module_tbd"));
    // On trial before restore ran; confirmed only by the daemon that starts after the reboot.
    trial_marker marker;
    EXPECT_TRUE(trial_marker_read("network", marker));
    EXPECT_EQ(marker.apply, "reboot");
    EXPECT_FALSE(network_trial_awaits_cs());
}

TEST_F(module_update_sandbox, an_empty_configuration_directory_reboots)
{
    ASSERT_EQ(0, sh("mkdir -p /tmp/vpn_module_tbd/config"));
    apply_staged_files();
    EXPECT_EQ(std::vector<std::string> { "reboot " }, record());
    EXPECT_FALSE(file_exists(trial_marker_path("network"))); // nothing to put on trial
}

TEST_F(module_update_sandbox, a_lone_script_runs_without_reboot)
{
    stage("script", "x.sh", "echo \"script $0\" >> " + RECORD + "\n");
    apply_staged_files();
    EXPECT_EQ(std::vector<std::string> { "script /tmp/vpn_module_tbd/script/x.sh" }, record());
    EXPECT_FALSE(file_exists("/tmp/vpn_module_tbd"));
}

TEST_F(module_update_sandbox, nothing_staged_does_nothing)
{
    apply_staged_files();
    EXPECT_TRUE(record().empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(module_update_sandbox, a_failing_update_is_logged_with_the_package_name)
{
    stage("module", "fail.tgz", "package\n");
    install_recording_grafter();
    EXPECT_FALSE(module_install());
    EXPECT_TRUE(
        log.contains(LOG_DEBUG, "Update command: /opt/quillmesh/bin/grafter /tmp/vpn_module_tbd/module/fail.tgz"));
    EXPECT_TRUE(log.contains(LOG_ERR, "Not able to update module: fail.tgz"));
}

TEST_F(module_update_sandbox, every_staged_module_package_is_installed)
{
    const std::string src = "/var/data/qm_update_src";
    ASSERT_EQ(0, sh("rm -rf " + src + " && mkdir -p /tmp/vpn_module_tbd/module /opt/quillmesh/bin"));
    for (const std::string name : { "mod_one", "mod_two" }) {
        ASSERT_EQ(0, sh("mkdir -p " + src + "/" + name + "/etc"));
        write_script(src + "/" + name + "/etc/init", "echo \"" + name + " $1\" >> " + RECORD + "\n");
        ASSERT_EQ(0, sh("tar -czf /tmp/vpn_module_tbd/module/" + name + ".tgz -C " + src + " " + name));
    }
    ASSERT_EQ(0, sh(std::string("cp ") + QM_GRAFTER_BIN + " " + GRAFTER));
    apply_staged_files();
    EXPECT_TRUE(file_exists("/opt/mod_one/etc/init"));
    EXPECT_TRUE(file_exists("/opt/mod_two/etc/init"));
    EXPECT_FALSE(log.contains_text("Not able to update module: mod_one.tgz"));
    EXPECT_FALSE(log.contains_text("Not able to update module: mod_two.tgz"));
    EXPECT_FALSE(file_exists("/tmp/vpn_module_tbd"));
    sh("rm -rf " + src);
}

// Another local user may have been first at the fixed staging paths under /tmp. What they put
// there is removed without following links, and nothing in it is run, stored into or deleted
// through it; the next use starts afresh with a directory only root can enter.
TEST_F(module_update_sandbox, a_planted_staging_directory_is_removed_never_used)
{
    const std::string elsewhere = "/var/data/qm_planted";
    const struct {
        const char* what;
        std::string plant;
        const char* refused;
    } rows[] = {
        { "a link to another directory",
            "mkdir -p " + elsewhere + "/script && ln -s " + elsewhere + " /tmp/vpn_module_tbd", "/tmp/vpn_module_tbd" },
        { "a directory of another user", "mkdir -p /tmp/vpn_module_tbd/script && chown -R 65534 /tmp/vpn_module_tbd",
            "/tmp/vpn_module_tbd" },
        { "a directory anyone can write", "mkdir -p /tmp/vpn_module_tbd/script && chmod 1777 /tmp/vpn_module_tbd",
            "/tmp/vpn_module_tbd" },
        { "a subdirectory of another user",
            "mkdir -p /tmp/vpn_module_tbd/script && chown 65534 /tmp/vpn_module_tbd/script",
            "/tmp/vpn_module_tbd/script" },
        { "a link in place of a subdirectory",
            "mkdir -p /tmp/vpn_module_tbd " + elsewhere + "/script && ln -s " + elsewhere
                + "/script /tmp/vpn_module_tbd/script",
            "/tmp/vpn_module_tbd/script" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(0, sh("rm -rf /tmp/vpn_module_tbd " + elsewhere + " " + RECORD + " && " + row.plant));
        write_file("/tmp/vpn_module_tbd/script/x.sh", "echo ran >> " + RECORD + "\n");
        log.clear();
        apply_staged_files();
        EXPECT_TRUE(record().empty());
        const std::string refused
            = std::string("Refused ") + row.refused + ": it is not a directory that only root can write. ";
        EXPECT_TRUE(log.contains(LOG_ERR, refused + "Removed it."));
        if (row.plant.find(elsewhere) != std::string::npos) {
            EXPECT_TRUE(file_exists(elsewhere + "/script/x.sh")) << "removed through the link";
        }

        ASSERT_EQ(0, sh("rm -rf /tmp/vpn_module_tbd " + elsewhere + " && " + row.plant));
        EXPECT_FALSE(claim_staging_dir(STAGING_SCRIPT_DIR, true));
        EXPECT_TRUE(claim_staging_dir(STAGING_SCRIPT_DIR, true));
        struct stat st;
        ASSERT_EQ(0, lstat("/tmp/vpn_module_tbd/script", &st));
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(0u, st.st_uid);
        EXPECT_EQ(0700u, st.st_mode & 07777);
    }
    sh("rm -rf /tmp/vpn_module_tbd " + elsewhere);
}

// The CS's HTTPS server: on the CS side of the sandbox when there is one, else on loopback.
class module_download_sandbox : public module_update_sandbox
{
protected:
    static void SetUpTestSuite()
    {
        module_update_sandbox::SetUpTestSuite();
        if (!in_sandbox())
            return;
        sh("rm -rf " + WWW_ROOT + " " + SERVER_READY + " " + SERVER_LOG + " && mkdir -p " + WWW_ROOT
            + "/router_modules");
        const char* peer_cmd = getenv("QM_PEER");
        const char* cs_addr = getenv("QM_CS_ADDR");
        const bool cs_side = peer_cmd && *peer_cmd && cs_addr && *cs_addr;
        cs_address = cs_side ? cs_addr : "127.0.0.1";
        std::string peer = cs_side ? std::string(peer_cmd) + " " : "";
        sh(peer + "/usr/bin/python3 " + QM_SOURCE_DIR + "/tests/peers/module_server.py --root " + WWW_ROOT
            + " --port 443 --log " + SERVER_LOG + " --ready " + SERVER_READY + " --lifetime 300 >/dev/null 2>&1 &");
        for (int i = 0; i < 100 && !file_exists(SERVER_READY); ++i)
            usleep(100000);
    }

    static void TearDownTestSuite()
    {
        std::string pid = read_file(SERVER_READY);
        if (!pid.empty())
            kill(atoi(pid.c_str()), SIGTERM);
    }

    void SetUp() override
    {
        module_update_sandbox::SetUp();
        ASSERT_TRUE(file_exists(SERVER_READY)) << "the module server did not start";
        sh("rm -f " + WWW_ROOT + "/router_modules/* " + SERVER_LOG);
    }

    std::string base_url() const { return "https://" + cs_address + "/router_modules"; }

    static std::string cs_address;
};
std::string module_download_sandbox::cs_address;

TEST_F(module_download_sandbox, fetches_the_package_with_the_exact_command)
{
    write_file(WWW_ROOT + "/router_modules/quillmesh.um.v4.tgz", "package bytes\n");
    EXPECT_EQ(1, module_download(base_url()));
    EXPECT_EQ("package bytes\n", read_file("/tmp/vpn_module_tbd/module/quillmesh.um.v4.tgz"));
    EXPECT_EQ((std::vector<log_line> { { LOG_DEBUG,
                  "UM download command: curl --fail --insecure --speed-limit 1 "
                  "--speed-time 60 https://"
                      + cs_address
                      + "/router_modules/quillmesh.um.v4.tgz --output "
                        "/tmp/vpn_module_tbd/module/quillmesh.um.v4.tgz" } }),
        log.lines());
    EXPECT_EQ("GET /router_modules/quillmesh.um.v4.tgz 200\n", read_file(SERVER_LOG));
}

TEST_F(module_download_sandbox, with_a_signing_key_the_signature_is_fetched_too_and_required)
{
    ASSERT_EQ(0, sh("mkdir -p /opt/quillmesh/etc && touch /opt/quillmesh/etc/package_signing.pem"));
    write_file(WWW_ROOT + "/router_modules/quillmesh.um.v4.tgz", "package bytes\n");
    EXPECT_EQ(0, module_download(base_url()));
    write_file(WWW_ROOT + "/router_modules/quillmesh.um.v4.tgz.sig", "signature\n");
    EXPECT_EQ(1, module_download(base_url()));
    EXPECT_EQ("signature\n", read_file("/tmp/vpn_module_tbd/module/quillmesh.um.v4.tgz.sig"));
    // The updater is handed the package only; it reads the signature beside it.
    install_recording_grafter();
    EXPECT_TRUE(module_install());
    EXPECT_EQ(std::vector<std::string> { "grafter /tmp/vpn_module_tbd/module/quillmesh.um.v4.tgz" }, record());
}

TEST_F(module_download_sandbox, a_404_fails_through_curl_fail)
{
    EXPECT_EQ(0, module_download(base_url()));
    EXPECT_TRUE(log.contains(LOG_ERR, "Not able to download user module from " + base_url() + ". Module not updated."));
    EXPECT_EQ("GET /router_modules/quillmesh.um.v4.tgz 404\n", read_file(SERVER_LOG));
    EXPECT_FALSE(file_exists("/tmp/vpn_module_tbd/module/quillmesh.um.v4.tgz"));
}

TEST_F(module_download_sandbox, a_base_url_with_shell_characters_is_refused)
{
    EXPECT_EQ(0, module_download(base_url() + ";touch /tmp/injected;"));
    EXPECT_FALSE(file_exists("/tmp/injected"));
    EXPECT_FALSE(file_exists(SERVER_LOG));
}

TEST_F(module_download_sandbox, no_staging_directory_no_download)
{
    write_file("/tmp/vpn_module_tbd", "a file where the directory belongs\n");
    EXPECT_EQ(0, module_download(base_url()));
    EXPECT_TRUE(log.contains(LOG_ERR, "Module update: not able to create temp directory /tmp/vpn_module_tbd/module/"));
    EXPECT_FALSE(file_exists(SERVER_LOG));
    sh("rm -f /tmp/vpn_module_tbd");
}

TEST_F(module_download_sandbox, a_downloaded_package_is_installed_by_the_updater)
{
    // A small module whose init script records its calls, packed as the CS would serve it.
    const std::string src = "/var/data/qm_update_src";
    ASSERT_EQ(0, sh("rm -rf " + src + " && mkdir -p " + src + "/demo_mod/etc " + src + "/demo_mod/www"));
    write_script(src + "/demo_mod/etc/init", "echo \"demo_mod $1\" >> " + RECORD + "\n");
    write_file(src + "/demo_mod/etc/settings", "DEMO=1\n");
    ASSERT_EQ(0, sh("tar -czf " + WWW_ROOT + "/router_modules/quillmesh.um.v4.tgz -C " + src + " demo_mod"));
    ASSERT_EQ(0, sh(std::string("mkdir -p /opt/quillmesh/bin && cp ") + QM_GRAFTER_BIN + " " + GRAFTER));

    ASSERT_EQ(1, module_download(base_url()));
    EXPECT_TRUE(module_install());
    EXPECT_EQ("DEMO=1\n", read_file("/opt/demo_mod/etc/settings"));
    EXPECT_EQ((std::vector<std::string> { "demo_mod defaults", "demo_mod start" }), record());
    EXPECT_FALSE(file_exists("/tmp/vpn_module_tbd"));
    EXPECT_EQ(std::vector<std::string> {}, matching_paths("/tmp/vpn_module.*"));
    sh("rm -rf " + src);
}
