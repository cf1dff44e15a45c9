#include "settings/module_settings.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace
{
struct ModuleSettings : ::testing::Test {
    temp_dir dir;
    std::string module_path = dir.file("settings");
    std::string tunnel_path = dir.file("settings.ovpn");
};
} // namespace

TEST_F(ModuleSettings, RoundTripKeepsEveryFieldInTheFixedOrder)
{
    write_file(module_path,
        "# comment lost on save\n"
        "MOD_QUILLMESH_ENABLED=5\n"
        "mod_quillmesh_ds_port=4433\n"
        "MOD_QUILLMESH_CORE_DS_IP1=ds.example.net\n"
        "MOD_QUILLMESH_UCID=\"Branch office\"\n"
        "MOD_QUILLMESH_UCID=second\n"
        "MOD_QUILLMESH_SYSLOG_LEVEL=7\n"
        "MOD_QUILLMESH_RECOVERY_TIMEOUT=30\n"
        "MOD_QUILLMESH_RECOVERY_COUNTER=3\n"
        "MOD_QUILLMESH_START_DELAY_MAX=120\n"
        "UNKNOWN_KEY=dropped\n");
    module_settings s;
    module_settings_load(s, module_path.c_str());
    EXPECT_EQ(s.enabled, 5);
    EXPECT_EQ(s.ds_port, 4433u);
    EXPECT_EQ(s.core_ds_ip[0], "ds.example.net");
    EXPECT_EQ(s.ucid, "Branch office");
    s.cs_ip = "10.99.0.1";
    ASSERT_EQ(module_settings_save(s, module_path.c_str()), 1);
    EXPECT_EQ(read_file(module_path),
        "MOD_QUILLMESH_ENABLED=1\n"
        "MOD_QUILLMESH_LOCAL_DS_IP1=\n"
        "MOD_QUILLMESH_LOCAL_DS_IP2=\n"
        "MOD_QUILLMESH_LOCAL_DS_IP3=\n"
        "MOD_QUILLMESH_CORE_DS_IP1=ds.example.net\n"
        "MOD_QUILLMESH_CORE_DS_IP2=\n"
        "MOD_QUILLMESH_CORE_DS_IP3=\n"
        "MOD_QUILLMESH_CS_IP1=10.99.0.1\n"
        "MOD_QUILLMESH_UCID=\"Branch office\"\n"
        "MOD_QUILLMESH_DS_PORT=4433\n"
        "MOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_SSL=0\n"
        "MOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_UDP=0\n"
        "MOD_QUILLMESH_CONTROL_CHANNEL_PORT=0\n"
        "MOD_QUILLMESH_SYSLOG_LEVEL=7\n"
        "MOD_QUILLMESH_RECOVERY_TIMEOUT=30\n"
        "MOD_QUILLMESH_RECOVERY_COUNTER=3\n"
        "MOD_QUILLMESH_START_DELAY_MAX=120\n"
        "MOD_QUILLMESH_CHANGE_TRIAL=\n"
        "MOD_QUILLMESH_UPDATE_TRIAL=\n");
}

TEST_F(ModuleSettings, MissingFileLoadsAsEmptyAndZero)
{
    module_settings s;
    s.ucid = "stale";
    module_settings_load(s, dir.file("none").c_str());
    EXPECT_EQ(s.ucid, "");
    EXPECT_EQ(s.syslog_level, 0u);
    EXPECT_EQ(s.recovery_timeout, 0u);
    EXPECT_EQ(s.recovery_counter, 0u);
    EXPECT_EQ(module_settings_save(s, dir.file("no/dir/settings").c_str()), 0);
}

TEST_F(ModuleSettings, TunnelSettingsWriteBlankPingValuesAndFlags)
{
    write_file(tunnel_path,
        "QUILLMESH_ENABLED=1\nQUILLMESH_TUNDEV=tun0\nQUILLMESH_PROTO=udp\nQUILLMESH_PORT=0\n"
        "QUILLMESH_REMOTE_IPADDR=10.99.0.1\nQUILLMESH_REDIRECT_GW=3\nQUILLMESH_PING_INTVL=0\n"
        "QUILLMESH_PING_TOUT=60\nQUILLMESH_COMP=lz4\nQUILLMESH_NAT=0\nQUILLMESH_AUTH=SHA256\n"
        "QUILLMESH_CIPHER=AES-256-GCM\n");
    tunnel_settings t;
    tunnel_settings_load(t, tunnel_path.c_str());
    EXPECT_EQ(t.tundev, "tun0");
    EXPECT_TRUE(t.redirect_gw);
    ASSERT_EQ(tunnel_settings_save(t, tunnel_path.c_str()), 1);
    EXPECT_EQ(read_file(tunnel_path),
        "QUILLMESH_ENABLED=1\nQUILLMESH_TUNDEV=tun0\nQUILLMESH_PROTO=udp\nQUILLMESH_PORT=0\n"
        "QUILLMESH_REMOTE_IPADDR=10.99.0.1\nQUILLMESH_REDIRECT_GW=1\nQUILLMESH_PING_INTVL=\n"
        "QUILLMESH_PING_TOUT=60\nQUILLMESH_COMP=lz4\nQUILLMESH_NAT=0\nQUILLMESH_AUTH=SHA256\n"
        "QUILLMESH_CIPHER=AES-256-GCM\n");
}
