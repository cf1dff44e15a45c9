// The module package of QuillMesh itself: built by module/package.sh, installed with grafter
// into the sandbox's /opt, and updated by a newer package that keeps the operator's settings.
#include "common/file_util.h"
#include "common/handles.h"
#include "common/system.h"
#include "grafter/grafter.h"
#include "support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace
{
const std::string WORK = "/var/data/qm_package_test";
const std::string PACKAGE = WORK + "/quillmesh.um.v4.tgz";
const std::string DS_CERT = WORK + "/ds_cert.crt";
const std::string INSTALLED_DS_CERT = "/var/data/quillmesh_certs/certificates/ssl/ds_cert.crt";
const std::string STAGED = "/tmp/vpn_module_tbd/module/quillmesh.um.v4.tgz";

const char* const MODULE_KEYS[] = {
    "MOD_QUILLMESH_ENABLED",
    "MOD_QUILLMESH_LOCAL_DS_IP1",
    "MOD_QUILLMESH_LOCAL_DS_IP2",
    "MOD_QUILLMESH_LOCAL_DS_IP3",
    "MOD_QUILLMESH_CORE_DS_IP1",
    "MOD_QUILLMESH_CORE_DS_IP2",
    "MOD_QUILLMESH_CORE_DS_IP3",
    "MOD_QUILLMESH_CS_IP1",
    "MOD_QUILLMESH_UCID",
    "MOD_QUILLMESH_DS_PORT",
    "MOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_SSL",
    "MOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_UDP",
    "MOD_QUILLMESH_CONTROL_CHANNEL_PORT",
    "MOD_QUILLMESH_SYSLOG_LEVEL",
    "MOD_QUILLMESH_RECOVERY_TIMEOUT",
    "MOD_QUILLMESH_RECOVERY_COUNTER",
    "MOD_QUILLMESH_START_DELAY_MAX",
};

int sh(const std::string& command)
{
    return run_shell(command);
}

std::string capture(const std::string& command)
{
    std::string out;
    run_shell_capture(command, &out);
    return out;
}

int run_grafter(const std::string& package)
{
    std::string arg0 = "grafter", arg1 = package;
    char* argv[] = { &arg0[0], &arg1[0], nullptr };
    return grafter_main(2, argv);
}

// Process numbers of running daemons, by command name; zombies do not count.
std::vector<int> daemon_pids()
{
    std::vector<int> pids;
    DIR* proc = opendir("/proc");
    if (!proc)
        return pids;
    while (struct dirent* e = readdir(proc)) {
        int pid = atoi(e->d_name);
        const std::string dir = "/proc/" + std::string(e->d_name);
        if (pid > 0 && read_file(dir + "/comm") == "quillmeshd\n"
            && read_file(dir + "/status").find("State:\tZ") == std::string::npos)
            pids.push_back(pid);
    }
    closedir(proc);
    return pids;
}

class module_package : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (!in_sandbox())
            return;
        sh("rm -rf " + WORK + " && mkdir -p " + WORK);
        sh("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + WORK + "/ds_key.pem -out "
            + DS_CERT + " -days 2 -subj /CN=quillmesh-test-ds >/dev/null 2>&1");
        built = sh("QM_PACKAGE_OUT=" + PACKAGE + " " + QM_SOURCE_DIR + "/module/package.sh " + QM_BUILD_DIR + " "
                    + DS_CERT + " >/dev/null 2>&1")
            == 0;
    }

    void SetUp() override
    {
        ASSERT_TRUE(in_sandbox()) << "this test installs into /opt and runs only in the router sandbox";
        ASSERT_TRUE(built) << "module/package.sh failed";
        ASSERT_EQ(0,
            sh("/opt/quillmesh/etc/init stop >/dev/null 2>&1; rm -rf /opt/quillmesh /opt/.quillmesh.* "
               "/var/www/quillmesh /var/data/quillmesh_certs /tmp/vpn_module /tmp/vpn_module_tbd"));
    }

    void TearDown() override
    {
        sh("/opt/quillmesh/etc/init stop >/dev/null 2>&1");
        EXPECT_TRUE(daemon_pids().empty()) << "init stop left quillmeshd running";
    }

    // Stages the package where the daemon leaves it and runs the updater on it.
    int install(const std::string& package)
    {
        sh("mkdir -p /tmp/vpn_module_tbd/module && cp " + package + " " + STAGED);
        return run_grafter(STAGED);
    }

    static bool built;
};
bool module_package::built = false;
} // namespace

TEST_F(module_package, holds_one_module_directory_with_programs_scripts_settings_and_pages)
{
    std::string listing = capture("tar -tzf " + PACKAGE + " | sed 's|/$||' | sort");
    for (const char* entry : { "quillmesh\n", "quillmesh/bin/quillmeshd\n", "quillmesh/bin/grafter\n",
             "quillmesh/etc/init\n", "quillmesh/etc/install\n", "quillmesh/etc/trial\n", "quillmesh/etc/settings\n",
             "quillmesh/etc/settings.ovpn\n", "quillmesh/etc/ds_cert.crt\n", "quillmesh/www/index.html\n" })
        EXPECT_NE(std::string::npos, listing.find(entry)) << entry << "missing from\n" << listing;
    EXPECT_EQ("", capture("tar -tzf " + PACKAGE + " | grep -v '^quillmesh/' | grep -v '^quillmesh$'"));
    if (file_exists(std::string(QM_SOURCE_DIR) + "/module/etc/init.ovpn")) {
        EXPECT_NE(std::string::npos, listing.find("quillmesh/etc/init.ovpn\n"));
    }

    std::string settings = capture("tar -xzOf " + PACKAGE + " quillmesh/etc/settings");
    std::string page = capture("tar -xzOf " + PACKAGE + " quillmesh/www/index.html");
    for (const char* key : MODULE_KEYS) {
        EXPECT_NE(std::string::npos, settings.find(std::string(key) + "=")) << key;
        EXPECT_NE(std::string::npos, page.find(std::string("<code>") + key + "</code>")) << key;
    }
}

TEST_F(module_package, rejects_an_unknown_settings_key_and_a_file_that_is_no_certificate)
{
    std::string out = WORK + "/bad.tgz";
    EXPECT_NE(0,
        sh("QM_PACKAGE_OUT=" + out + " " + QM_SOURCE_DIR + "/module/package.sh " + QM_BUILD_DIR + " " + DS_CERT
            + " MOD_QUILLMESH_NO_SUCH_KEY=1 2>/dev/null"));
    EXPECT_NE(0,
        sh("QM_PACKAGE_OUT=" + out + " " + QM_SOURCE_DIR + "/module/package.sh " + QM_BUILD_DIR + " " + WORK
            + "/ds_key.pem 2>/dev/null"));
    EXPECT_FALSE(file_exists(out));
}

TEST_F(module_package, a_first_installation_places_the_ds_certificate_and_links_the_pages)
{
    ASSERT_EQ(0, install(PACKAGE));
    EXPECT_EQ(read_file(DS_CERT), read_file(INSTALLED_DS_CERT));
    EXPECT_NE(std::string::npos, read_file("/var/www/quillmesh/index.html").find("MOD_QUILLMESH_UCID"));
    EXPECT_EQ(0, access("/opt/quillmesh/bin/grafter", X_OK));
    EXPECT_EQ(capture("tar -xzOf " + PACKAGE + " quillmesh/etc/settings"), read_file("/opt/quillmesh/etc/settings"));
    EXPECT_FALSE(file_exists("/tmp/vpn_module_tbd"));
    EXPECT_EQ(std::vector<std::string> {}, matching_paths("/tmp/vpn_module.*"));
}

TEST_F(module_package, an_update_over_an_older_version_keeps_the_edited_settings)
{
    // The older version: one key fewer, one key that the new version no longer has.
    const std::string old_dir = WORK + "/old";
    const std::string old_package = WORK + "/old.tgz";
    ASSERT_EQ(0, sh("rm -rf " + old_dir + " && mkdir -p " + old_dir + " && tar -xzf " + PACKAGE + " -C " + old_dir));
    ASSERT_EQ(0,
        sh("cd " + old_dir
            + "/quillmesh && grep -v '^MOD_QUILLMESH_RECOVERY_COUNTER=' etc/settings > s && "
              "echo MOD_QUILLMESH_RETIRED=1 >> s && mv s etc/settings && echo old > OLD && "
              "tar -czf "
            + old_package + " -C " + old_dir + " quillmesh"));
    ASSERT_EQ(0, install(old_package));
    ASSERT_TRUE(file_exists("/opt/quillmesh/OLD"));

    // The operator edits the installed settings.
    ASSERT_EQ(0,
        sh("sed -i 's/^MOD_QUILLMESH_UCID=.*/MOD_QUILLMESH_UCID=\"Plant 7 north\"/; "
           "s/^MOD_QUILLMESH_SYSLOG_LEVEL=.*/MOD_QUILLMESH_SYSLOG_LEVEL=7/' /opt/quillmesh/etc/settings"));

    ASSERT_EQ(0, install(PACKAGE));
    EXPECT_FALSE(file_exists("/opt/quillmesh/OLD"));
    EXPECT_FALSE(file_exists("/opt/.quillmesh.new"));
    const std::string settings = read_file("/opt/quillmesh/etc/settings");
    EXPECT_NE(std::string::npos, settings.find("\nMOD_QUILLMESH_UCID=\"Plant 7 north\"\n")) << settings;
    EXPECT_NE(std::string::npos, settings.find("\nMOD_QUILLMESH_SYSLOG_LEVEL=7\n")) << settings;
    EXPECT_NE(std::string::npos, settings.find("\nMOD_QUILLMESH_RECOVERY_COUNTER=5\n")) << settings;
    EXPECT_EQ(std::string::npos, settings.find("RETIRED")) << settings;
    EXPECT_EQ(read_file(DS_CERT), read_file(INSTALLED_DS_CERT));
    EXPECT_FALSE(file_exists("/tmp/vpn_module_tbd"));
    EXPECT_EQ(std::vector<std::string> {}, matching_paths("/tmp/vpn_module.*"));
}

TEST_F(module_package, init_defaults_restores_missing_settings_only)
{
    ASSERT_EQ(0, install(PACKAGE));
    const std::string defaults = read_file("/opt/quillmesh/etc/settings");
    write_file("/opt/quillmesh/etc/settings.ovpn", "QUILLMESH_TUNDEV=tun7\n");
    ASSERT_EQ(0, sh("rm /opt/quillmesh/etc/settings"));
    EXPECT_EQ(0, sh("/opt/quillmesh/etc/init defaults"));
    EXPECT_EQ(defaults, read_file("/opt/quillmesh/etc/settings"));
    EXPECT_EQ("QUILLMESH_TUNDEV=tun7\n", read_file("/opt/quillmesh/etc/settings.ovpn"));
}

TEST_F(module_package, init_start_honours_a_disabled_module_and_stop_ends_the_daemon)
{
    ASSERT_EQ(0, install(PACKAGE));
    EXPECT_EQ(0, sh("/opt/quillmesh/etc/init stop"));
    EXPECT_TRUE(daemon_pids().empty());
    ASSERT_EQ(0, sh("sed -i 's/^MOD_QUILLMESH_ENABLED=.*/MOD_QUILLMESH_ENABLED=0/' /opt/quillmesh/etc/settings"));
    EXPECT_EQ(0, sh("/opt/quillmesh/etc/init start >/dev/null"));
    EXPECT_TRUE(daemon_pids().empty());
    EXPECT_NE(0, sh("/opt/quillmesh/etc/init bogus 2>/dev/null"));
}

TEST_F(module_package, init_starts_one_daemon_and_stop_ends_it)
{
    ASSERT_EQ(0, install(PACKAGE));
    ASSERT_EQ(0, sh("/opt/quillmesh/etc/init stop"));
    // A stand-in daemon that detaches and runs until it is ended, as quillmeshd does: a copy of
    // sleep under the daemon's name, started in the background.
    ASSERT_EQ(0, sh("mkdir -p /opt/quillmesh/lib && cp \"$(command -v sleep)\" /opt/quillmesh/lib/quillmeshd"));
    write_file("/opt/quillmesh/bin/quillmeshd",
        "#!/bin/sh\nexec /opt/quillmesh/lib/quillmeshd 300 </dev/null >/dev/null 2>&1 &\n");
    EXPECT_EQ(0, sh("/opt/quillmesh/etc/init start"));
    EXPECT_EQ(1u, daemon_pids().size());
    EXPECT_EQ(0, sh("/opt/quillmesh/etc/init start >/dev/null"));
    EXPECT_EQ(1u, daemon_pids().size());
    EXPECT_EQ(0, sh("/opt/quillmesh/etc/init stop"));
    EXPECT_TRUE(daemon_pids().empty());
    // A start while grafter stages an update (its lock held; the marker names the module in
    // place, as after a cut-off update) starts the module in place and leaves the update be.
    ASSERT_EQ(0,
        sh("mkdir /opt/.quillmesh.prev && now=$(date +%s) && printf "
           "'KEPT=/opt/.quillmesh.prev\\nKEPT_INODE=%s\\nSTART=%s\\nDEADLINE=%s\\n' "
           "$(stat -c %i /opt/quillmesh) $now $((now + 600)) > /opt/.quillmesh.trial"));
    {
        fd_owner grafter_at_work(open("/opt/.grafter.lock", O_RDWR | O_CREAT, 0600));
        ASSERT_EQ(0, flock(grafter_at_work.fd, LOCK_EX));
        EXPECT_EQ(0, sh("/opt/quillmesh/etc/init start >/dev/null"));
    }
    EXPECT_EQ(1u, daemon_pids().size());
    EXPECT_EQ((std::vector<std::string> { "/opt/.quillmesh.prev", "/opt/.quillmesh.trial" }),
        matching_paths("/opt/.quillmesh*"));
}
