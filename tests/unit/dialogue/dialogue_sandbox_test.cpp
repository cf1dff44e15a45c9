// Discovery, registration, credentials and approval against the DS and CS test servers, over
// real TLS 1.3 and UDP, with the device's files in their real places.
#include "common/error.h"
#include "common/file_util.h"
#include "common/log.h"
#include "common/system.h"
#include "dialogue/cs_exchange.h"
#include "dialogue/device_cert.h"
#include "dialogue/discovery.h"
#include "dialogue/identity.h"
#include "dialogue/initial_actions.h"
#include "dialogue/peer_fixture.h"
#include "settings/module_settings.h"
#include "support/test_support.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

namespace
{

constexpr int DS_PORT = 4431;
constexpr int CS_PORT = 4432;
constexpr int UDP_PORT = 4433;

std::string settings_with(const std::string& lines)
{
    return "MOD_QUILLMESH_ENABLED=1\nMOD_QUILLMESH_UCID=UC-77\nMOD_QUILLMESH_DS_PORT=" + std::to_string(DS_PORT)
        + "\nMOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_SSL=" + std::to_string(CS_PORT)
        + "\nMOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_UDP=" + std::to_string(UDP_PORT) + "\n" + lines;
}

std::string ds_port_text()
{
    return ":" + std::to_string(DS_PORT);
}

bool logged_with_prefix(const log_capture& log, int priority, const std::string& prefix)
{
    for (auto& l : log.lines())
        if (l.priority == priority && l.text.rfind(prefix, 0) == 0)
            return true;
    return false;
}

mode_t file_mode(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class DialogueTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        install_device_files();
        server = std::make_unique<peer_server>(DS_PORT, CS_PORT, UDP_PORT);
    }
    static void TearDownTestSuite() { server.reset(); }

    void SetUp() override
    {
        install_device_files();
        remove_dialogue_files();
        server->script("{}");
        server->clear_records();
        sys = std::make_unique<recording_system>();
        sys->run_unscripted = true;
        sys->real_sleeps_up_to = std::chrono::seconds(1);
        write_tunnel_settings(
            "QUILLMESH_ENABLED=1\nQUILLMESH_TUNDEV=tun0\nQUILLMESH_REMOTE_IPADDR=" + peer_address() + "\n");
        write_module_settings(settings_with("MOD_QUILLMESH_CORE_DS_IP2=" + peer_address() + "\n"));
        write_file(QM_CS_CERT_FILE, read_file(test_cert("cs.crt")));
    }
    void TearDown() override { sys.reset(); }

    std::string stored_remote()
    {
        tunnel_settings t;
        tunnel_settings_load(t);
        return t.remote_ipaddr;
    }
    std::string stored_cs_ip()
    {
        module_settings m;
        module_settings_load(m);
        return m.cs_ip;
    }

    static std::unique_ptr<peer_server> server;
    log_capture log;
    std::unique_ptr<recording_system> sys;
};

std::unique_ptr<peer_server> DialogueTest::server;

// ---- discovery ----

TEST_F(DialogueTest, DiscoveryStoresCsAddressAndCertificateFromOneElementList)
{
    write_tunnel_settings("QUILLMESH_TUNDEV=tun0\n");
    unlink(QM_CS_CERT_FILE);
    ASSERT_EQ(obtain_cs_ip(), 1);

    auto requests = server->requests("ds");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].request,
        "{\"H\":{\"V\":113},\"B\":[{\"T\":4,\"DT\":{\"4-1\":\"UC-77\",\"4-2\":\"" + device_udid() + "\"}}]}");
    EXPECT_TRUE(requests[0].client_cert);
    EXPECT_TRUE(log.contains(LOG_INFO, peer_address() + " resolved to " + peer_address()));
    EXPECT_TRUE(log.contains(LOG_DEBUG, "Trying to connect to DS " + peer_address() + ds_port_text() + ". Attempt: 1"));
    EXPECT_TRUE(log.contains(LOG_DEBUG, "CS IP obtained: " + peer_address()));
    EXPECT_EQ(stored_remote(), peer_address());
    EXPECT_EQ(stored_cs_ip(), peer_address());
    EXPECT_EQ(read_file(QM_CS_CERT_FILE), read_file(test_cert("cs.crt")));
    EXPECT_TRUE(dialogue_pauses(*sys).empty());
}

TEST_F(DialogueTest, DiscoveryResolvesHostNameAndAcceptsOtherVersionAfterWarning)
{
    write_file("/etc/hosts", read_file("/etc/hosts") + peer_address() + " ds-test.quillmesh\n");
    write_module_settings(settings_with("MOD_QUILLMESH_LOCAL_DS_IP1=ds-test.quillmesh\n"));
    server->script(R"({"ds": [{"kind": "good", "version": 112}]})");
    ASSERT_EQ(obtain_cs_ip(), 1);
    EXPECT_TRUE(log.contains(LOG_INFO, "ds-test.quillmesh resolved to " + peer_address()));
    EXPECT_TRUE(log.contains(LOG_WARNING, "Message protocol version missmatch  (expected: 113 found: 112)."));
    EXPECT_EQ(stored_cs_ip(), peer_address());
}

TEST_F(DialogueTest, DiscoveryWithSameCsAddressLeavesModuleSettingsFileUntouched)
{
    // Lower-case key and an unknown line: a save would rewrite both.
    std::string module = settings_with("MOD_QUILLMESH_CORE_DS_IP2=" + peer_address()
        + "\nmod_quillmesh_cs_ip1=" + peer_address() + "\nEXTRA_KEY=kept\n");
    write_module_settings(module);
    write_tunnel_settings("QUILLMESH_TUNDEV=tun0\nQUILLMESH_REMOTE_IPADDR=1.2.3.4\n");
    ASSERT_EQ(obtain_cs_ip(), 1);
    EXPECT_EQ(module_settings_text(), module);
    EXPECT_EQ(stored_remote(), peer_address());
}

TEST_F(DialogueTest, DiscoveryReadsAnswerSplitAcrossSeveralWrites)
{
    server->script(R"({"ds": [{"kind": "good", "split": 4, "delay": 0.3}]})");
    ASSERT_EQ(obtain_cs_ip(), 1);
    EXPECT_EQ(read_file(QM_CS_CERT_FILE), read_file(test_cert("cs.crt")));
}

TEST_F(DialogueTest, DiscoveryFallsBackToStoredCsAfterErrorSegment)
{
    write_module_settings(
        settings_with("MOD_QUILLMESH_CORE_DS_IP2=" + peer_address() + "\nMOD_QUILLMESH_CS_IP1=10.20.30.40\n"));
    server->script(R"({"ds": [{"kind": "error", "mg": "unknown customer"}]})");
    ASSERT_EQ(obtain_cs_ip(), 1);
    EXPECT_TRUE(log.contains(LOG_ERR, "Received an error message - unknown customer"));
    EXPECT_EQ(stored_remote(), "10.20.30.40");
    EXPECT_EQ(server->requests("ds").size(), 1u);
    EXPECT_TRUE(dialogue_pauses(*sys).empty());
}

// Answers that make a pass fail: logged, nothing stored; with no stored CS a new pass follows
// after 15 s and takes the good answer.
TEST_F(DialogueTest, DiscoveryRefusesUnusableAnswersAndStoresNothing)
{
    struct unusable {
        const char* script;
        std::string log_text;
    } cases[] = {
        { R"({"kind": "good", "cs_ip": "10.0.0.1; reboot"})",
            "CS address from DS is not an IPv4 address ('10.0.0.1; reboot')." },
        { R"({"kind": "good", "cs_ip": "10.0.0.256"})", "CS address from DS is not an IPv4 address ('10.0.0.256')." },
        { R"({"kind": "unexpected", "type": 10})",
            "process_secure_ds_msg: Received a message with invalid/unsupported code\n" },
        { R"({"kind": "malformed"})", "Malformed JSON message, can not be parsed." },
        { R"({"kind": "good", "omit": "5-2"})", "Object [5-2] could not be found in JSON string '" },
        { R"({"kind": "close"})", "Receiving IP query answer from DS failed." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        write_tunnel_settings("QUILLMESH_TUNDEV=tun0\n");
        write_module_settings(settings_with("MOD_QUILLMESH_CORE_DS_IP2=" + peer_address() + "\n"));
        unlink(QM_CS_CERT_FILE);
        log.clear();
        sys->sleeps.clear();
        server->clear_records();
        // The first answer is unusable; the CS certificate of the second one is the "other"
        // identity, so what is stored can only come from the good answer.
        server->script(std::string("{\"ds\": [") + c.script + ", {\"kind\": \"good\", \"cert_file\": \""
            + test_cert("other.crt") + "\"}]}");
        ASSERT_EQ(obtain_cs_ip(), 1);
        EXPECT_TRUE(logged_with_prefix(log, LOG_ERR, c.log_text));
        EXPECT_TRUE(log.contains(LOG_ERR, "Getting CS's address from DS failed. Next attempt in 15 s."));
        EXPECT_EQ(dialogue_pauses(*sys), std::vector<unsigned> { 15 });
        EXPECT_EQ(server->requests("ds").size(), 2u);
        EXPECT_EQ(read_file(QM_CS_CERT_FILE), read_file(test_cert("other.crt")));
        EXPECT_EQ(stored_remote(), peer_address());
    }
}

TEST_F(DialogueTest, DiscoveryMovesToNextDsAfterFourFailedAttempts)
{
    // 10.99.0.2 (or 127.0.0.2 without a CS side) is the router itself: nothing listens there.
    std::string dead = peer_address() == "10.99.0.1" ? "10.99.0.2" : "127.0.0.2";
    write_module_settings(
        settings_with("MOD_QUILLMESH_LOCAL_DS_IP1=" + dead + "\nMOD_QUILLMESH_CORE_DS_IP1=" + peer_address() + "\n"));
    ASSERT_EQ(obtain_cs_ip(), 1);
    std::string failed = "Connection to DS (" + dead + ds_port_text() + ") failed. Next attempt in 15 s.";
    int failures = 0;
    for (auto& l : log.lines())
        failures += l.priority == LOG_ERR && l.text == failed;
    EXPECT_EQ(failures, 4);
    EXPECT_EQ(dialogue_pauses(*sys), std::vector<unsigned>(4, 15));
    EXPECT_TRUE(log.contains(LOG_DEBUG, "Trying to connect to DS " + dead + ds_port_text() + ". Attempt: 4"));
    EXPECT_TRUE(log.contains(LOG_DEBUG, "Trying to connect to DS " + peer_address() + ds_port_text() + ". Attempt: 5"));
    EXPECT_EQ(stored_cs_ip(), peer_address());
}

TEST_F(DialogueTest, DiscoveryCountsFailedHandshakesTowardsRotation)
{
    // A DS in the router's own namespace that presents a certificate nobody pins.
    peer_server impostor(
        DS_PORT, 0, 0, "127.0.0.3", { "--ds-cert", test_cert("other.crt"), "--ds-key", test_cert("other.key") }, true);
    write_module_settings(
        settings_with("MOD_QUILLMESH_LOCAL_DS_IP1=127.0.0.3\nMOD_QUILLMESH_CORE_DS_IP3=" + peer_address() + "\n"));
    ASSERT_EQ(obtain_cs_ip(), 1);
    std::string failed = "Handshake with DS (127.0.0.3" + ds_port_text() + ") failed. Next attempt in 15 s.";
    int failures = 0;
    for (auto& l : log.lines())
        failures += l.priority == LOG_ERR && l.text == failed;
    EXPECT_EQ(failures, 4);
    EXPECT_EQ(server->requests("ds").size(), 1u);
}

TEST_F(DialogueTest, DiscoveryGivesUpWithoutAnyDsAfterTwentyBuilds)
{
    write_module_settings(settings_with("MOD_QUILLMESH_LOCAL_DS_IP1=\nMOD_QUILLMESH_CORE_DS_IP1=::1\n"));
    EXPECT_EQ(obtain_cs_ip(), 0);
    EXPECT_TRUE(log.contains(LOG_ERR, "No DS IP address found."));
    EXPECT_EQ(dialogue_pauses(*sys), std::vector<unsigned>(20, 3));
}

// ---- registration and credentials ----

TEST_F(DialogueTest, RegistrationSendsUdidAndSerialAndAcceptsAcknowledgement)
{
    errno = 0;
    ASSERT_EQ(register_on_cs(), 1);
    auto requests = server->requests("cs");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].request,
        "{\"H\":{\"V\":113},\"B\":[{\"T\":21,\"DT\":{\"21-1\":\"" + device_udid() + "\",\"21-2\":\""
            + device_serial_number() + "\"}}]}");
    EXPECT_TRUE(requests[0].client_cert);
    EXPECT_FALSE(file_exists(QM_OVPN_KEY_FILE));
}

TEST_F(DialogueTest, CredentialsInAnswerToRegistrationAreStored)
{
    // A key left readable by others from an earlier run is replaced, not rewritten in place.
    run_shell(std::string("mkdir -p ") + QM_OVPN_DIR);
    write_file(QM_OVPN_KEY_FILE, "old key");
    chmod(QM_OVPN_KEY_FILE, 0644);
    server->script(R"({"cs": ["creds"]})");
    ASSERT_EQ(register_on_cs(), 1);
    EXPECT_EQ(read_file(QM_OVPN_CA_FILE), read_file(test_cert("ovpn_ca.crt")));
    EXPECT_EQ(read_file(QM_OVPN_CERT_FILE), read_file(test_cert("ovpn_cert.crt")));
    EXPECT_EQ(read_file(QM_OVPN_KEY_FILE), read_file(test_cert("ovpn_key.pem")));
    EXPECT_EQ(file_mode(QM_OVPN_KEY_FILE), 0600u);
    EXPECT_EQ(file_mode(QM_OVPN_CERT_FILE), 0644u);
}

TEST_F(DialogueTest, TunnelDetailsRequestStoresCredentialsSentInPieces)
{
    server->script(R"({"cs": [{"kind": "good", "split": 5, "delay": 0.2}]})");
    ASSERT_EQ(obtain_ovpn_details(), 1);
    auto requests = server->requests("cs");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].request, "{\"H\":{\"V\":113},\"B\":[{\"T\":6}]}");
    EXPECT_EQ(read_file(QM_OVPN_KEY_FILE), read_file(test_cert("ovpn_key.pem")));
    EXPECT_EQ(file_mode(QM_OVPN_KEY_FILE), 0600u);
}

TEST_F(DialogueTest, AcknowledgementAnswersTunnelDetailsRequest)
{
    server->script(R"({"cs": ["ack"]})");
    EXPECT_EQ(obtain_ovpn_details(), 1);
    EXPECT_FALSE(file_exists(QM_OVPN_KEY_FILE));
}

TEST_F(DialogueTest, IncompleteCredentialsLeaveEarlierFilesAsTheyWere)
{
    server->script(R"({"cs": ["creds", {"kind": "creds", "omit": "7-3"}]})");
    ASSERT_EQ(obtain_ovpn_details(), 1);
    write_file(QM_OVPN_CA_FILE, "old ca");
    EXPECT_EQ(obtain_ovpn_details(), 0);
    EXPECT_TRUE(logged_with_prefix(log, LOG_ERR, "Object [7-3] could not be found in JSON string '{\"7-1\":"));
    EXPECT_EQ(read_file(QM_OVPN_CA_FILE), "old ca");
    EXPECT_EQ(read_file(QM_OVPN_KEY_FILE), read_file(test_cert("ovpn_key.pem")));
}

TEST_F(DialogueTest, CsWithOtherProtocolVersionGives275)
{
    server->script(R"({"cs": [{"kind": "ack", "version": 112}]})");
    errno = 0;
    EXPECT_EQ(register_on_cs(), 0);
    EXPECT_EQ(errno, QM_ERR_VERSION_MISMATCH);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(
        log.lines()[0], (log_line { LOG_WARNING, "Message protocol version missmatch  (expected: 113 found: 112)." }));
}

TEST_F(DialogueTest, CsErrorSegmentFailsWithItsText)
{
    server->script(R"({"cs": [{"kind": "error", "mg": "not registered"}]})");
    errno = QM_ERR_CS_HANDSHAKE; // left over from an earlier exchange
    EXPECT_EQ(obtain_ovpn_details(), 0);
    EXPECT_TRUE(log.contains(LOG_ERR, "Received an error message - not registered"));
    EXPECT_TRUE(
        log.contains(LOG_DEBUG, "{\"H\":{\"V\":113},\"B\":[{\"T\":7,\"I\":0,\"ER\":1,\"MG\":\"not registered\"}]}"));
    EXPECT_NE(errno, QM_ERR_CS_HANDSHAKE);
    EXPECT_NE(errno, QM_ERR_VERSION_MISMATCH);
}

TEST_F(DialogueTest, CsAnswerOfUnexpectedTypeIsRefused)
{
    server->script(R"({"cs": [{"kind": "unexpected", "type": 5}]})");
    EXPECT_EQ(register_on_cs(), 0);
    EXPECT_TRUE(log.contains(LOG_ERR, "process_secure_cs_msg: Received a message with invalid/unsupported code\n"));
}

TEST_F(DialogueTest, CsPresentingAnotherCertificateFailsHandshakeWith271)
{
    server->script(R"({"cs": [{"kind": "ack", "server_cert": ")" + test_cert("other.crt") + R"(", "server_key": ")"
        + test_cert("other.key") + "\"}]}");
    errno = 0;
    EXPECT_EQ(register_on_cs(), 0);
    EXPECT_EQ(errno, QM_ERR_CS_HANDSHAKE);
    EXPECT_TRUE(
        log.contains(LOG_ERR, "Handshake with CS (" + peer_address() + ":" + std::to_string(CS_PORT) + ") failed."));
    EXPECT_TRUE(server->requests("cs").empty());
}

TEST_F(DialogueTest, CsNotListeningFailsConnectionWithoutCode271)
{
    write_module_settings("MOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_SSL=4499\n");
    errno = 0;
    EXPECT_EQ(obtain_ovpn_details(), 0);
    EXPECT_TRUE(log.contains(LOG_ERR, "Connection to CS (" + peer_address() + ":4499) failed."));
    EXPECT_NE(errno, QM_ERR_CS_HANDSHAKE);
}

// ---- approval ----

TEST_F(DialogueTest, ApprovalSendsDeviceCertificateAndAcceptsApproval)
{
    unsigned sleep_time = 5;
    EXPECT_EQ(get_ovpn_detail_approval(&sleep_time), 1);
    EXPECT_EQ(sleep_time, 5u);
    auto requests = server->requests("udp");
    ASSERT_EQ(requests.size(), 1u);
    std::string cert = read_file(DEVICE_CERT_PATH);
    std::string escaped;
    for (char c : cert)
        escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    EXPECT_EQ(requests[0].request, "{\"H\":{\"V\":113},\"B\":[{\"T\":8,\"DT\":{\"8-1\":\"" + escaped + "\"}}]}");
}

TEST_F(DialogueTest, ApprovalAnswersGiveTheirErrorCodes)
{
    // Another host of the CS's network, spoofing nothing but answering first.
    const std::string decoy = peer_address() == "127.0.0.1" ? "127.0.0.3" : "10.99.0.3";
    if (decoy != "127.0.0.3")
        run_shell("$QM_PEER ip addr add " + decoy + "/24 dev cs0 2>/dev/null");
    struct approval_case {
        std::string script;
        int code;
        unsigned sleep_time;
        int priority; // -1: nothing logged
        std::string log_text;
    } cases[] = {
        { R"({"kind": "not_validated", "pause": 30})", QM_ERR_NOT_VALIDATED, 30, LOG_INFO,
            "process_udp_message: Not validated on CS." },
        { R"({"kind": "error", "er": 1, "mg": "x"})", QM_ERR_APPROVAL_ERROR, 5, -1, "" },
        { R"({"kind": "good", "omit": "DT"})", QM_ERR_NOT_VALIDATED, 5, LOG_ERR,
            "Object [DT] could not be found in JSON string '{\"T\":9,\"I\":0,\"ER\":0}'." },
        { R"({"kind": "unexpected", "type": 10})", QM_ERR_NOT_VALIDATED, 5, LOG_WARNING,
            "Received a message with an unsupported code (10)." },
        { R"({"kind": "error", "er": 1, "decoy_from": ")" + decoy + "\"}", QM_ERR_APPROVAL_ERROR, 5, LOG_WARNING,
            "get_ovpn_detail_approval: Dropped an answer from " + decoy + ": not the CS's address." },
        // Anyone can claim another version on UDP; the pinned registration is asked to confirm it.
        { R"({"kind": "good", "version": 112})", QM_ERR_APPROVAL_ERROR, 5, LOG_WARNING,
            "Message protocol version missmatch  (expected: 113 found: 112)." },
        { R"({"kind": "malformed"})", QM_ERR_NOT_VALIDATED, 5, LOG_ERR, "Malformed JSON message, can not be parsed." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        server->script(std::string("{\"udp\": [") + c.script + "]}");
        log.clear();
        unsigned sleep_time = 5;
        errno = 0;
        EXPECT_EQ(get_ovpn_detail_approval(&sleep_time), 0);
        EXPECT_EQ(errno, c.code);
        EXPECT_EQ(sleep_time, c.sleep_time);
        if (c.priority < 0) {
            EXPECT_TRUE(log.lines().empty());
        } else {
            ASSERT_EQ(log.lines().size(), 1u);
            EXPECT_EQ(log.lines()[0], (log_line { c.priority, c.log_text }));
        }
    }
}

TEST_F(DialogueTest, ApprovalPauseIsHeldWithinOneSecondAndOneDay)
{
    struct pause_case {
        const char* pause;
        unsigned expected;
    } cases[] = { { "0", 1 }, { "-5", 1 }, { "100000", 86400 }, { "86400", 86400 }, { "1", 1 } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pause);
        server->script(std::string("{\"udp\": [{\"kind\": \"not_validated\", \"pause\": ") + c.pause + "}]}");
        log.clear();
        unsigned sleep_time = 5;
        EXPECT_EQ(get_ovpn_detail_approval(&sleep_time), 0);
        EXPECT_EQ(sleep_time, c.expected);
        bool clamped = std::to_string(c.expected) != c.pause;
        EXPECT_EQ(log.contains(LOG_WARNING,
                      std::string("get_ovpn_detail_approval: Pause of ") + c.pause
                          + " s asked by CS is out of range. Using " + std::to_string(c.expected) + " s."),
            clamped);
    }
}

TEST_F(DialogueTest, ApprovalPortIsReadAsFiveDigits)
{
    peer_server approval(0, 0, 12345);
    write_module_settings("MOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_UDP=123456\n");
    unsigned sleep_time = 5;
    EXPECT_EQ(get_ovpn_detail_approval(&sleep_time), 1);
    EXPECT_EQ(approval.requests("udp").size(), 1u);
}

TEST_F(DialogueTest, ApprovalWithoutDeviceCertificateFails)
{
    unlink(DEVICE_CERT_PATH);
    unsigned sleep_time = 5;
    EXPECT_EQ(get_ovpn_detail_approval(&sleep_time), 0);
    EXPECT_TRUE(log.contains(LOG_ERR, "get_ovpn_detail_approval: Failed to read device certificate from a file."));
    EXPECT_TRUE(server->requests("udp").empty());
}

// Waits the full 10 s receive timeout.
TEST_F(DialogueTest, ApprovalUnansweredGives269AfterTenSeconds)
{
    server->script(R"({"udp": ["silence"]})");
    unsigned sleep_time = 5;
    EXPECT_EQ(get_ovpn_detail_approval(&sleep_time), 0);
    EXPECT_EQ(errno, QM_ERR_CS_NO_ANSWER);
    EXPECT_EQ(sleep_time, 5u);
    EXPECT_TRUE(log.contains(LOG_DEBUG, "get_ovpn_detail_approval: CS did not respond to approval query."));
}

} // namespace
