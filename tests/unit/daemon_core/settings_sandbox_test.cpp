// Settings through the router's real paths, and what a failed save leaves behind.
#include "common/file_util.h"
#include "common/log.h"
#include "common/settings_file.h"
#include "common/system.h"
#include "settings/module_settings.h"
#include "support/test_support.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

namespace
{
struct RouterPaths : ::testing::Test {
    void SetUp() override
    {
        ASSERT_TRUE(in_sandbox()) << "must run inside tests/sandbox/qm-sandbox";
        run_shell("rm -rf /opt/quillmesh; mkdir -p /opt/quillmesh/etc");
    }
};

// A tiny filesystem that fills up halfway through a save.
struct FullFilesystem : ::testing::Test {
    std::string dir = "/tmp/qm-full";
    void SetUp() override
    {
        ASSERT_TRUE(in_sandbox()) << "must run inside tests/sandbox/qm-sandbox";
        run_shell("mkdir -p " + dir);
        ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=16k"), 0) << strerror(errno);
    }
    void TearDown() override { umount2(dir.c_str(), MNT_DETACH); }
    void fill_up() { run_shell("dd if=/dev/zero of=" + dir + "/ballast bs=1k count=64 2>/dev/null"); }
};
} // namespace

TEST_F(RouterPaths, GettersReadTheInstalledSettingsAfresh)
{
    write_file(MODULE_SETTINGS_PATH,
        "MOD_QUILLMESH_SYSLOG_LEVEL=6\nMOD_QUILLMESH_RECOVERY_TIMEOUT=30\n"
        "MOD_QUILLMESH_RECOVERY_COUNTER=3\n");
    write_file(TUNNEL_SETTINGS_PATH, "QUILLMESH_TUNDEV=tun0\nQUILLMESH_REMOTE_IPADDR=10.99.0.1\n");
    EXPECT_EQ(settings_syslog_level(), 6);
    unsigned timeout = 0, counter = 0;
    settings_recovery(&timeout, &counter);
    EXPECT_EQ(timeout, 30u);
    EXPECT_EQ(counter, 3u);
    char dev[16];
    settings_tunnel_device(dev);
    EXPECT_STREQ(dev, "tun0");
    char remote[16];
    settings_remote_address(remote);
    EXPECT_STREQ(remote, "10.99.0.1");

    // Another program edits the file: the next use sees it.
    write_file(MODULE_SETTINGS_PATH, "MOD_QUILLMESH_RECOVERY_TIMEOUT=45\n");
    EXPECT_EQ(settings_recovery_timeout(), 45u);
}

TEST_F(RouterPaths, NoSettingsFileMeansZeros)
{
    EXPECT_EQ(settings_syslog_level(), 0);
    unsigned timeout = 1, counter = 1;
    settings_recovery(&timeout, &counter);
    EXPECT_EQ(timeout, 0u);
    EXPECT_EQ(counter, 0u);
}

TEST_F(RouterPaths, OverlongDeviceIsRefusedAndAddressTextArrivesTerminated)
{
    // Ten characters are a whole name; a cut name would be another interface's.
    struct {
        const char* setting;
        const char* read;
    } devices[] = { { "quillmesh0", "quillmesh0" }, { "tunnel_device0", "" } };
    for (const auto& d : devices) {
        log_capture log;
        write_file(TUNNEL_SETTINGS_PATH, std::string("QUILLMESH_TUNDEV=") + d.setting + "\n");
        char dev[16];
        memset(dev, 'Z', sizeof dev);
        settings_tunnel_device(dev);
        EXPECT_STREQ(dev, d.read);
        EXPECT_EQ(log.contains(LOG_ERR,
                      std::string("Tunnel device name '") + d.setting + "' is longer than 10 characters. Ignoring it."),
            d.read[0] == '\0');
    }
    write_file(TUNNEL_SETTINGS_PATH, "QUILLMESH_REMOTE_IPADDR=100.100.100.100x\n");
    char remote[16];
    memset(remote, 'Z', sizeof remote);
    settings_remote_address(remote);
    EXPECT_STREQ(remote, "100.100.100.100");
}

TEST_F(RouterPaths, SavedSettingsAreReadableByAllWritableByOwner)
{
    module_settings s;
    s.ucid = "customer";
    ASSERT_EQ(module_settings_save(s), 1);
    struct stat st;
    ASSERT_EQ(stat(MODULE_SETTINGS_PATH, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(FullFilesystem, FailedSettingsSaveKeepsTheOldFileWhole)
{
    std::string path = dir + "/settings";
    module_settings s;
    s.core_ds_ip[0] = "10.99.0.1";
    s.ucid = "customer-1";
    ASSERT_EQ(module_settings_save(s, path.c_str()), 1);
    std::string before = read_file(path);

    fill_up();
    s.ucid = std::string(12000, 'u'); // does not fit any more
    EXPECT_EQ(module_settings_save(s, path.c_str()), 0);
    EXPECT_EQ(read_file(path), before);
    std::string listing;
    run_shell_capture("ls -A " + dir, &listing);
    EXPECT_EQ(listing, "ballast\nsettings\n"); // no temporary file left
}

TEST_F(FullFilesystem, FailedStringToFileKeepsTheOldFileWhole)
{
    std::string path = dir + "/cs_cert.crt";
    ASSERT_EQ(string_to_file("old certificate", path, "w"), 0);
    fill_up();
    EXPECT_NE(string_to_file(std::string(32768, 'c'), path, "w"), 0);
    EXPECT_EQ(read_file(path), "old certificate");
}

TEST_F(FullFilesystem, ReadOnlyDirectoryRefusesTheSaveAndKeepsTheFile)
{
    std::string path = dir + "/settings";
    write_file(path, "MOD_QUILLMESH_UCID=kept\n");
    ASSERT_EQ(mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << strerror(errno);
    module_settings s;
    s.ucid = "lost";
    EXPECT_EQ(module_settings_save(s, path.c_str()), 0);
    EXPECT_EQ(read_file(path), "MOD_QUILLMESH_UCID=kept\n");
}
