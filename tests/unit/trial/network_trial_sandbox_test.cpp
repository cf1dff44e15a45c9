// Network changes on trial, inside the router sandbox: the router's real settings files, the
// restore, service and reboot stand-ins, and the trial marker under /var/data.
#include "common/file_util.h"
#include "common/log.h"
#include "common/system.h"
#include "common/system_recording.h"
#include "common/trial_marker.h"
#include "control/lan_iface_cfg.h"
#include "control/lan_setup.h"
#include "support/test_support.h"
#include "trial/network_trial.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace
{
const std::string SNAPSHOT = std::string(TRIAL_DIR) + "/network.snapshot";
const std::string ETH = "/etc/settings.eth";
const std::string ETH_BEFORE = "ETH_IPADDR=192.168.1.1\nETH_NETMASK=255.255.255.0\nETH_NETWORK=192.168.1.0\n";

std::string calls(const std::string& name)
{
    std::string path = "/var/sandbox/calls/" + name;
    return file_exists(path) ? read_file(path) : "";
}

unsigned mode_of(const std::string& path)
{
    struct stat st = {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

class NetworkTrial : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(in_sandbox()) << "this test changes /etc and /var/data: run it in the router sandbox";
        qm_set_log_level(7);
        run_shell(
            "rm -rf /var/data/quillmesh_certs /etc/settings.* /var/sandbox/calls/* && mkdir -p /opt/quillmesh/etc");
        write_file(ETH, ETH_BEFORE);
        write_file("/opt/quillmesh/etc/settings", "MOD_QUILLMESH_CHANGE_TRIAL=10\n");
        network_trial_at_start(); // a new process: nothing held
        log.clear();
    }

    static trial_marker marker()
    {
        trial_marker m;
        trial_marker_read("network", m);
        return m;
    }

    // Moves the deadline of the change on trial to now.
    static void expire()
    {
        trial_marker m = marker();
        m.deadline = trial_time_now().uptime;
        trial_marker_write(m);
    }

    log_capture log;
};

// Pauses recorded; the first of a second or more lets the change on trial run out.
struct pauses_that_expire : recording_system {
    bool expired = false;
    void sleep(std::chrono::milliseconds duration) override
    {
        if (!expired && duration >= std::chrono::seconds(1)) {
            expired = true;
            trial_marker m;
            trial_marker_read("network", m);
            m.deadline = trial_time_now().uptime;
            trial_marker_write(m);
        }
        recording_system::sleep(duration);
    }
};
} // namespace

TEST_F(NetworkTrial, ConfirmedChangeIsKeptAndLeavesNothingBehind)
{
    ASSERT_TRUE(network_trial_begin(LAN_SETTINGS_FILES, "eth,bard"));
    trial_time now = trial_time_now();
    trial_marker m = marker();
    EXPECT_GE(m.deadline, now.uptime + 10);
    EXPECT_LE(m.deadline, now.uptime + 11);
    // The marker as a shell reads it, in a directory only root can enter.
    EXPECT_EQ(read_file(trial_marker_path("network")),
        "TRIAL_KIND=network\nTRIAL_STAGE=on_trial\nTRIAL_BOOT=" + now.boot
            + "\nTRIAL_DEADLINE=" + std::to_string(m.deadline)
            + "\nTRIAL_SECONDS=10\nTRIAL_BOOTS=0\nTRIAL_UNDO=" + SNAPSHOT + "\nTRIAL_APPLY=bard,eth\n");
    EXPECT_EQ(now.boot.size(), 36u);
    EXPECT_EQ(mode_of(TRIAL_DIR), 0700u);
    EXPECT_EQ(mode_of(trial_marker_path("network")), 0600u);
    EXPECT_EQ(read_file(SNAPSHOT + "/settings.eth"), ETH_BEFORE);
    EXPECT_TRUE(log.contains(LOG_NOTICE,
        "Network change on trial for 10 s. Kept: settings.eth settings.wlan (missing) settings.wifi_ap (missing) "
        "settings.backrt (missing)."));

    write_file(ETH, "ETH_IPADDR=192.168.7.1\n");
    EXPECT_TRUE(network_trial_awaits_cs());
    network_trial_heard_from_cs("a ping");
    EXPECT_TRUE(log.contains(LOG_NOTICE, "Network change confirmed: a ping."));
    EXPECT_FALSE(file_exists(trial_marker_path("network")));
    EXPECT_FALSE(file_exists(SNAPSHOT));
    EXPECT_EQ(network_trial_tick(), -1);
    EXPECT_EQ(read_file(ETH), "ETH_IPADDR=192.168.7.1\n");
    EXPECT_EQ(calls("restore") + calls("service"), "");
}

TEST_F(NetworkTrial, ExpiredChangeIsPutBackThroughRestoreOnceAndItsServicesRestarted)
{
    ASSERT_TRUE(network_trial_begin(LAN_SETTINGS_FILES, "eth,bard"));
    write_file(
        ETH, "ETH_IPADDR=10.99.0.100\nETH_NETMASK=255.255.255.128\nETH_NETWORK=10.99.0.0\nETH2_IPADDR=10.5.0.1\n");
    write_file("/etc/settings.wlan", "WLAN_IPADDR=10.6.0.1\n");
    long left = network_trial_tick();
    EXPECT_GE(left, 10);
    EXPECT_LE(left, 11);
    EXPECT_EQ(calls("restore"), "");

    log.clear();
    expire();
    EXPECT_EQ(network_trial_tick(), -1);
    // The keys the change added get empty values: restore only replaces and adds keys.
    EXPECT_EQ(read_file(ETH), ETH_BEFORE + "ETH2_IPADDR=\n");
    EXPECT_EQ(read_file("/etc/settings.wlan"), "WLAN_IPADDR=\n");
    EXPECT_EQ(calls("restore"), SNAPSHOT + "/undo.settings.eth\n" + SNAPSHOT + "/undo.settings.wlan\n");
    EXPECT_EQ(calls("restore.via"), "/usr/sbin/restore\n/usr/sbin/restore\n");
    EXPECT_EQ(calls("service"), "bard restart\neth restart\n");
    EXPECT_EQ(log.lines(),
        (std::vector<log_line> { { LOG_ERR, "Network change not confirmed within 10 s. Reverting it." },
            { LOG_NOTICE, "Reverted from the snapshot: settings.eth settings.wlan." },
            { LOG_NOTICE, "Restarting bard,eth after the revert." } }));
    EXPECT_EQ(marker().stage, trial_stage::reverted);

    // Never undone twice, neither while running nor at the next start.
    expire();
    EXPECT_EQ(network_trial_tick(), -1);
    network_trial_at_start();
    EXPECT_EQ(split_lines(calls("restore")).size(), 2u);

    EXPECT_TRUE(network_trial_awaits_cs());
    network_trial_heard_from_cs("a control request from CS arrived");
    EXPECT_TRUE(log.contains(
        LOG_NOTICE, "CS is reachable again after the revert of a network change: a control request from CS arrived."));
    EXPECT_FALSE(file_exists(trial_marker_path("network")));
}

TEST_F(NetworkTrial, ConfigurationTrialKeepsEverySettingsFileAndRevertsWithAReboot)
{
    write_file("/etc/settings.backrt", "BACKRT_ENABLED=1\n");
    write_file("/etc/settings.x_1", "X_1=1\n");
    ASSERT_TRUE(network_trial_begin(config_settings_files({ "settings.ppp", "a.cfg" }), "reboot", true));
    EXPECT_TRUE(log.contains(LOG_NOTICE,
        "Network change on trial for 10 s. Kept: settings.eth settings.wlan (missing) settings.wifi_ap (missing) "
        "settings.backrt settings.ppp (missing) settings.x_1."));
    // The daemon that asked for the reboot does not confirm what takes effect with it.
    network_trial_hold();
    EXPECT_FALSE(network_trial_awaits_cs());
    network_trial_heard_from_cs("a ping");
    EXPECT_EQ(marker().stage, trial_stage::on_trial);

    write_file("/etc/settings.backrt", "BACKRT_ENABLED=0\n");
    write_file("/etc/settings.ppp", "PPP_ENABLED=0\n");
    write_file("/etc/settings.zz", "ZZ_MODE=1\n"); // appeared although nobody named it
    expire();
    network_trial_tick();
    EXPECT_EQ(calls("restore"),
        SNAPSHOT + "/undo.settings.backrt\n" + SNAPSHOT + "/undo.settings.ppp\n" + SNAPSHOT + "/undo.settings.zz\n");
    EXPECT_EQ(read_file("/var/sandbox/calls/restore.3"), "ZZ_MODE=\n");
    EXPECT_EQ(read_file("/etc/settings.backrt"), "BACKRT_ENABLED=1\n");
    EXPECT_EQ(read_file("/etc/settings.ppp"), "PPP_ENABLED=\n");
    EXPECT_EQ(calls("reboot"), "reboot\n");
    EXPECT_EQ(calls("service"), "");
    EXPECT_TRUE(log.contains(LOG_NOTICE, "Rebooting after the revert."));
    EXPECT_FALSE(network_trial_awaits_cs()); // the revert takes effect with the reboot
}

TEST_F(NetworkTrial, JoinedChangeKeepsTheFirstSnapshotAndMergesTheWaysToApply)
{
    ASSERT_TRUE(network_trial_begin(LAN_SETTINGS_FILES, "bard,eth"));
    trial_marker first = marker();
    write_file(ETH, "ETH_IPADDR=10.1.1.1\n");
    ASSERT_TRUE(network_trial_begin({ ETH, "/etc/settings.ppp" }, "bard,wifi"));
    EXPECT_EQ(marker().apply, "bard,wifi,eth");
    EXPECT_EQ(marker().deadline, first.deadline);
    EXPECT_EQ(read_file(SNAPSHOT + "/settings.eth"), ETH_BEFORE);
    EXPECT_EQ(read_file(SNAPSHOT + "/index"),
        "present /etc/settings.eth\nmissing /etc/settings.wlan\nmissing /etc/settings.wifi_ap\n"
        "missing /etc/settings.backrt\nmissing /etc/settings.ppp\n");
    ASSERT_TRUE(network_trial_begin({ ETH }, "reboot", true));
    EXPECT_EQ(marker().apply, "reboot");
}

TEST_F(NetworkTrial, RebootsStartTheTrialAgainUpToTheLimit)
{
    ASSERT_TRUE(network_trial_begin(LAN_SETTINGS_FILES, "eth"));
    write_file(ETH, "ETH_IPADDR=10.1.1.1\n");
    for (unsigned boot = 1; boot <= MAX_TRIAL_BOOTS + 1; ++boot) {
        trial_marker m = marker();
        m.boot = "an-earlier-boot";
        m.deadline = 1;
        trial_marker_write(m);
        long left = network_trial_tick();
        if (boot <= MAX_TRIAL_BOOTS) {
            EXPECT_EQ(left, 11) << boot;
            EXPECT_EQ(marker().boots, boot);
            EXPECT_EQ(marker().boot, trial_time_now().boot);
        } else {
            EXPECT_EQ(left, -1);
        }
    }
    EXPECT_TRUE(log.contains(LOG_NOTICE, "Network change on trial after a reboot: 10 s left."));
    EXPECT_TRUE(log.contains(LOG_ERR, "Network change still on trial after 4 reboots. Reverting it."));
    EXPECT_EQ(read_file(ETH), ETH_BEFORE);
}

TEST_F(NetworkTrial, StartCompletesAnInterruptedRevertAndForgetsWhatHasNoMarker)
{
    ASSERT_TRUE(network_trial_begin(LAN_SETTINGS_FILES, "eth"));
    write_file(ETH, "ETH_IPADDR=10.1.1.1\n");
    trial_marker m = marker();
    m.stage = trial_stage::reverting; // a power cut in the middle of the revert
    trial_marker_write(m);
    network_trial_at_start();
    EXPECT_TRUE(log.contains(LOG_NOTICE, "Completing the interrupted revert of a network change."));
    EXPECT_EQ(read_file(ETH), ETH_BEFORE);
    EXPECT_EQ(marker().stage, trial_stage::reverted);

    // A snapshot whose marker is gone (a confirmation cut short) is removed at start.
    network_trial_heard_from_cs("a ping");
    ASSERT_TRUE(network_trial_begin(LAN_SETTINGS_FILES, "eth"));
    trial_marker_remove("network");
    network_trial_at_start();
    EXPECT_FALSE(file_exists(SNAPSHOT));

    // A marker that cannot be read counts as none.
    write_file(trial_marker_path("network"), "TRIAL_KIND=network\nTRIAL_STAGE=maybe\n");
    EXPECT_EQ(network_trial_tick(), -1);
    EXPECT_TRUE(log.contains(LOG_ERR, "Ignoring the unreadable trial marker " + trial_marker_path("network") + "."));
}

TEST_F(NetworkTrial, PausesEndAtTheDeadlineOfTheChangeOnTrial)
{
    ASSERT_TRUE(network_trial_begin(LAN_SETTINGS_FILES, "eth"));
    trial_marker m = marker();
    m.deadline = trial_time_now().uptime + 4;
    trial_marker_write(m);
    pauses_that_expire recorded;
    recorded.run_unscripted = true;
    trial_system pauses(recorded);
    pauses.sleep(std::chrono::milliseconds(500));
    pauses.sleep(std::chrono::seconds(30));
    // The pause ends with the revert: what it waited to retry is tried again at once.
    EXPECT_EQ(recorded.sleeps,
        (std::vector<std::chrono::milliseconds> { std::chrono::milliseconds(500), std::chrono::seconds(4) }));
    EXPECT_EQ(marker().stage, trial_stage::reverted);
    EXPECT_EQ(recorded.commands.back(), "/sbin/service eth restart");
    pauses.sleep(std::chrono::seconds(30)); // nothing on trial any more
    EXPECT_EQ(recorded.sleeps.back(), std::chrono::seconds(30));

    // A change whose time ran out before the pause is undone at its start, and nothing is slept.
    network_trial_heard_from_cs("a ping");
    ASSERT_TRUE(network_trial_begin(LAN_SETTINGS_FILES, "eth"));
    expire();
    const size_t slept = recorded.sleeps.size();
    pauses.sleep(std::chrono::seconds(15));
    EXPECT_EQ(recorded.sleeps.size(), slept);
    EXPECT_EQ(marker().stage, trial_stage::reverted);
}

TEST_F(NetworkTrial, ChangeWhoseSettingsCannotBeKeptIsNotMade)
{
    run_shell("mkdir -p /var/data/quillmesh_certs && touch " + std::string(TRIAL_DIR));
    EXPECT_FALSE(network_trial_begin(LAN_SETTINGS_FILES, "eth"));
    EXPECT_TRUE(log.contains(
        LOG_ERR, "Refused " + std::string(TRIAL_DIR) + ": it is not a directory that only root can write."));

    lan_iface_cfg eth0;
    eth0.iface = "eth0";
    eth0.address = "192.168.7.1";
    eth0.netmask = "255.255.255.0";
    eth0.network = "192.168.7.0";
    uint32_t restart = 0;
    EXPECT_EQ(lan_setup({ eth0 }, &restart), lan_setup_result::failure);
    EXPECT_TRUE(
        log.contains(LOG_ERR, "Not able to keep the router's settings before a network change. Change not made."));
    EXPECT_EQ(calls("restore"), "");
    EXPECT_EQ(read_file(ETH), ETH_BEFORE);
}
