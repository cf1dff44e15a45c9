#include "common/error.h"
#include "common/log.h"
#include "daemon/resource_manager.h"
#include "fake_router.h"
#include "settings/module_settings.h"
#include "support/test_support.h"

#include <algorithm>
#include <cerrno>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <utility>

namespace
{

std::string state_line(int state, int counter)
{
    return "RM STATE: " + std::to_string(state) + " (" + state_names[state]
        + "). State counter: " + std::to_string(counter);
}

std::vector<reply> times(size_t n, reply r)
{
    return std::vector<reply>(n, r);
}

class ResourceManager : public ::testing::Test
{
protected:
    void SetUp() override { qm_set_log_level(7); }

    resource_manager& manager(unsigned recovery_timeout = 7, unsigned recovery_counter = 3)
    {
        rm_ = std::make_unique<resource_manager>(router.table(), recovery_timeout, recovery_counter);
        return *rm_;
    }

    // Runs the whole loop until the scripts end; returns the operation at which they ended.
    std::string run_until_script_ends(resource_manager& rm)
    {
        try {
            rm.run();
        } catch (const script_end& end) {
            return end.op;
        }
        return "";
    }

    std::vector<std::string> state_lines() const
    {
        std::vector<std::string> out;
        for (const auto& l : log.lines()) {
            if (l.text.rfind("RM STATE: ", 0) == 0) {
                EXPECT_EQ(l.priority, LOG_INFO) << l.text;
                out.push_back(l.text);
            }
        }
        return out;
    }

    // Brings a manager into state 8 with managing socket 5.
    resource_manager& listening_manager(unsigned recovery_timeout = 7, unsigned recovery_counter = 3)
    {
        resource_manager& rm = manager(recovery_timeout, recovery_counter);
        router.script("create_managing_socket", { { 5 } });
        EXPECT_EQ(rm.step(RM_CREATING_MANAGING_SOCKET), RM_LISTENING);
        router.calls.clear();
        log.clear();
        return rm;
    }

    fake_router router;
    log_capture log;
    std::unique_ptr<resource_manager> rm_;
};

// --- The transition table, one row per case -----------------------------------------------

using calls = std::vector<std::string>;
using pauses = std::vector<unsigned>;
using lines = std::vector<log_line>;

// Beside the state it leads to, a row checks what it gives: the log's last lines (state lines
// left out), the pauses, the operations called and the descriptors closed. The state lines
// always count from 0 to `last_counter`.
struct transition_case {
    const char* name;
    rm_state from;
    unsigned recovery_counter;
    std::vector<std::pair<std::string, std::vector<reply>>> script;
    rm_state to;
    int last_counter = 0;
    lines log_tail = {};
    std::optional<pauses> paused = std::nullopt;
    std::optional<calls> called = std::nullopt;
    std::optional<std::vector<int>> closed = std::nullopt;
};

const lines AUTH_AT_LIMIT = { { LOG_NOTICE, "Reached maximum number of retries." } };
const calls RESTART_CALLS_AT_LIMIT = { "flush_one_to_one_nat", "ovpn_restart", "ovpn_stop" };

const transition_case transition_cases[] = {
    { "GettingCsIp_Obtained", RM_GETTING_CS_IP, 3, { { "obtain_cs_ip", { { 0, EHOSTUNREACH }, { 1 } } } },
        RM_CHECKING_OVPN_DETAILS, 1 },
    { "Checking_CredentialsPresent", RM_CHECKING_OVPN_DETAILS, 3, { { "ovpn_credentials_present", { { 1 } } } },
        RM_RESTARTING_OVPN },
    { "Checking_CredentialsAbsent", RM_CHECKING_OVPN_DETAILS, 3, { { "ovpn_credentials_present", { { 0 } } } },
        RM_REGISTERING_ON_CS },
    { "Registering_Registered", RM_REGISTERING_ON_CS, 3, { { "register_on_cs", { { 1 } } } },
        RM_GETTING_OVPN_APPROVAL },
    { "Registering_CsCertificateRejected", RM_REGISTERING_ON_CS, 3,
        { { "register_on_cs", { { 0, QM_ERR_CS_HANDSHAKE } } } }, RM_GETTING_CS_IP },
    { "Registering_OtherFailureOnAttempt11", RM_REGISTERING_ON_CS, 3,
        { { "register_on_cs", times(11, { 0, ETIMEDOUT }) } }, RM_GETTING_CS_IP, 10,
        { { LOG_INFO, "Registration on CS failed. Next attempt in 5 s." } }, pauses(10, 5u) },
    { "Registering_VersionMismatch", RM_REGISTERING_ON_CS, 3,
        { { "register_on_cs", { { 0, QM_ERR_VERSION_MISMATCH } } } }, RM_USER_MODULE_UPDATE },
    { "Registering_CsUnansweredRecoveryCounterTimes", RM_REGISTERING_ON_CS, 2,
        { { "register_on_cs", times(2, { 0, QM_ERR_CS_NO_ANSWER }) } }, RM_GETTING_CS_IP, 1 },
    { "Approval_Approved", RM_GETTING_OVPN_APPROVAL, 3, { { "get_ovpn_detail_approval", { { 1 } } } },
        RM_GETTING_OVPN_CREDENTIALS },
    { "Approval_CsUnansweredRecoveryCounterTimes", RM_GETTING_OVPN_APPROVAL, 2,
        { { "get_ovpn_detail_approval", times(2, { 0, QM_ERR_CS_NO_ANSWER }) } }, RM_GETTING_CS_IP, 1 },
    { "Approval_CsUnansweredOnceWithCounter1", RM_GETTING_OVPN_APPROVAL, 1,
        { { "get_ovpn_detail_approval", { { 0, QM_ERR_CS_NO_ANSWER } } } }, RM_GETTING_CS_IP, 0,
        { { LOG_DEBUG, "CS is unavailable for 1/1 cycle(s)." }, { LOG_INFO, "Trying to get CS IP from DS again." } },
        pauses {} },
    { "Approval_CsUnansweredOnceWithCounter0", RM_GETTING_OVPN_APPROVAL, 0,
        { { "get_ovpn_detail_approval", { { 0, QM_ERR_CS_NO_ANSWER } } } }, RM_GETTING_CS_IP, 0,
        { { LOG_DEBUG, "CS is unavailable for 1/0 cycle(s)." }, { LOG_INFO, "Trying to get CS IP from DS again." } },
        pauses {} },
    { "Approval_ErrorCode", RM_GETTING_OVPN_APPROVAL, 3,
        { { "get_ovpn_detail_approval", { { 0, QM_ERR_APPROVAL_ERROR } } } }, RM_REGISTERING_ON_CS },
    { "Approval_VersionMismatch", RM_GETTING_OVPN_APPROVAL, 3,
        { { "get_ovpn_detail_approval", { { 0, QM_ERR_VERSION_MISMATCH } } } }, RM_USER_MODULE_UPDATE },
    { "Credentials_Stored", RM_GETTING_OVPN_CREDENTIALS, 3, { { "obtain_ovpn_details", { { 0, EIO }, { 1 } } } },
        RM_RESTARTING_OVPN, 1 },
    { "Credentials_CsCertificateRejected", RM_GETTING_OVPN_CREDENTIALS, 3,
        { { "obtain_ovpn_details", { { 0, QM_ERR_CS_HANDSHAKE } } } }, RM_GETTING_CS_IP, 0,
        { { LOG_INFO, "Invalid CS certificate detected. Requesting new one." } }, pauses {} },
    { "Credentials_VersionMismatch", RM_GETTING_OVPN_CREDENTIALS, 3,
        { { "obtain_ovpn_details", { { 0, QM_ERR_VERSION_MISMATCH } } } }, RM_USER_MODULE_UPDATE, 0,
        { { LOG_INFO, "Wrong CS protocol version detected. Trying to update user module." } }, pauses {} },
    { "Restarting_TunnelUp", RM_RESTARTING_OVPN, 3, { { "ovpn_restart", { { 1 } } } }, RM_CREATING_MANAGING_SOCKET },
    { "Restarting_CredentialsRejected", RM_RESTARTING_OVPN, 3,
        { { "ovpn_restart", { { 0, QM_ERR_TUNNEL_CREDENTIALS } } } }, RM_GETTING_OVPN_APPROVAL, 0,
        { { LOG_ERR, "Wrong certificate detected. Requesting new certificates." } }, std::nullopt,
        calls { "flush_one_to_one_nat", "ovpn_restart", "ovpn_stop", "ovpn_credentials_delete" } },
    { "Restarting_CredentialsRejectedAndNotDeleted", RM_RESTARTING_OVPN, 3,
        { { "ovpn_restart", { { 0, QM_ERR_TUNNEL_CREDENTIALS } } }, { "ovpn_credentials_delete", { { 0, ENOENT } } } },
        RM_GETTING_OVPN_APPROVAL, 0,
        { { LOG_ERR, "Not able to delete OVPN credentials. Using brute force to override them." } } },
    { "Restarting_AuthFailedCounter0", RM_RESTARTING_OVPN, 0,
        { { "ovpn_restart", { { 0, QM_ERR_TUNNEL_AUTH_FAILED } } } }, RM_GETTING_CS_IP, 0, AUTH_AT_LIMIT, std::nullopt,
        RESTART_CALLS_AT_LIMIT },
    { "Restarting_AuthFailedCounter1", RM_RESTARTING_OVPN, 1,
        { { "ovpn_restart", { { 0, QM_ERR_TUNNEL_AUTH_FAILED } } } }, RM_GETTING_CS_IP, 0, AUTH_AT_LIMIT, std::nullopt,
        RESTART_CALLS_AT_LIMIT },
    { "Restarting_AuthFailedCounter2", RM_RESTARTING_OVPN, 2,
        { { "ovpn_restart", { { 0, QM_ERR_TUNNEL_AUTH_FAILED } } } }, RM_OVPN_RECOVERY, 0,
        { { LOG_NOTICE, "OVPN AUTH error detected. This device is probably disabled on CS." } } },
    { "Restarting_NoAddressInTime", RM_RESTARTING_OVPN, 3, { { "ovpn_restart", { { 0, QM_ERR_TUNNEL_NO_ADDRESS } } } },
        RM_OVPN_RECOVERY },
    // Fails without a reason, like a failed init script: the reason codes left by the earlier call
    // and before the step are not taken for its reason.
    { "Restarting_InitScriptFailed", RM_RESTARTING_OVPN, 3,
        { { "flush_one_to_one_nat", { { 1, QM_ERR_TUNNEL_AUTH_FAILED } } }, { "ovpn_restart", { { 0, 0 } } } },
        RM_OVPN_RECOVERY, 0, { { LOG_DEBUG, "Tunnel down. Entering recovery state." } }, std::nullopt,
        calls { "flush_one_to_one_nat", "ovpn_restart" } },
    { "Socket_Created", RM_CREATING_MANAGING_SOCKET, 3,
        { { "create_managing_socket", { { -1, EADDRNOTAVAIL }, { 5 } } } }, RM_LISTENING, 1 },
    // The expected address is taken afresh before each attempt.
    { "Socket_AttemptsExhausted", RM_CREATING_MANAGING_SOCKET, 3,
        { { "create_managing_socket", times(3, { -1, EADDRNOTAVAIL }) } }, RM_STOP, 2, {}, pauses { 7, 7 },
        calls { "iface_addr_mask", "create_managing_socket", "iface_addr_mask", "create_managing_socket",
            "iface_addr_mask", "create_managing_socket" } },
    { "Listening_TunnelDownAfterTimeout", RM_LISTENING, 3, { { "select", { { 0 } } }, { "tunnel_status", { { 0 } } } },
        RM_OVPN_RECOVERY, 0, { { LOG_ERR, "VPN tunnel is down after select timeouted. Trying to recover." } },
        std::nullopt, std::nullopt, std::vector<int> { 5 } },
    { "Listening_TunnelDownAfterSelectError", RM_LISTENING, 3,
        { { "select", { { -1, EINTR } } }, { "tunnel_status", { { 0 } } } }, RM_OVPN_RECOVERY },
    { "Listening_ControlVersionMismatch", RM_LISTENING, 3,
        { { "select", { { 1 } } }, { "accept_control_connection", { { 9 } } },
            { "process_control_msg", { { 0, QM_ERR_VERSION_MISMATCH } } } },
        RM_USER_MODULE_UPDATE, 0, {}, std::nullopt,
        calls { "select", "accept_control_connection", "peer_address", "set_receive_timeout", "read_message",
            "process_control_msg" },
        std::vector<int> { 9 } },
    { "Recovery_CsNotReachable", RM_OVPN_RECOVERY, 3, { { "cs_reachable", { { 0 } } } }, RM_GETTING_CS_IP, 0,
        { { LOG_DEBUG, "CS is not accessible. Next try in 7 s." } }, pauses { 7 },
        calls { "ovpn_stop", "flush_one_to_one_nat", "cs_reachable" } },
    { "Recovery_ReachableUnansweredRecoveryCounterTimes", RM_OVPN_RECOVERY, 3,
        { { "cs_reachable", { { 1 } } }, { "get_ovpn_detail_approval", times(3, { 0, QM_ERR_CS_NO_ANSWER }) } },
        RM_GETTING_CS_IP },
    { "Recovery_ReachableAnsweredAfterALostDatagram", RM_OVPN_RECOVERY, 3,
        { { "cs_reachable", { { 1 } } }, { "get_ovpn_detail_approval", { { 0, QM_ERR_CS_NO_ANSWER }, { 1 } } } },
        RM_RESTARTING_OVPN },
    { "Recovery_ReachableApproved", RM_OVPN_RECOVERY, 3,
        { { "cs_reachable", { { 1 } } }, { "get_ovpn_detail_approval", { { 1 } } } }, RM_RESTARTING_OVPN },
    { "ModuleUpdate_DownloadedAndInstalled", RM_USER_MODULE_UPDATE, 3,
        { { "module_download", { { 0 }, { 1 }, { 1 } } }, { "module_install", { { 0 }, { 1 } } } }, RM_GETTING_CS_IP,
        2 },
};

class Transition : public ResourceManager, public ::testing::WithParamInterface<transition_case>
{
};

TEST_P(Transition, LeadsToItsStateWithWhatItGives)
{
    const transition_case& c = GetParam();
    resource_manager& rm
        = c.from == RM_LISTENING ? listening_manager(7, c.recovery_counter) : manager(7, c.recovery_counter);
    for (const auto& s : c.script)
        router.script(s.first, s.second);
    errno = QM_ERR_TUNNEL_CREDENTIALS; // a reason code from before the step is never its own
    EXPECT_EQ(rm.step(c.from), c.to);

    std::vector<std::string> expected_states;
    for (int j = 0; j <= c.last_counter; ++j)
        expected_states.push_back(state_line(c.from, j));
    EXPECT_EQ(state_lines(), expected_states);
    lines logged;
    for (const log_line& l : log.lines())
        if (l.text.rfind("RM STATE: ", 0) != 0)
            logged.push_back(l);
    if (logged.size() > c.log_tail.size())
        logged.erase(logged.begin(), logged.end() - static_cast<long>(c.log_tail.size()));
    EXPECT_EQ(logged, c.log_tail);
    if (c.paused) {
        EXPECT_EQ(router.pauses, *c.paused);
    }
    if (c.called) {
        EXPECT_EQ(router.calls, *c.called);
    }
    if (c.closed) {
        EXPECT_EQ(router.closed, *c.closed);
        // A closed managing socket is forgotten.
        EXPECT_EQ(rm.managing_socket(), c.closed->front() == 5 ? -1 : 5);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryRow, Transition, ::testing::ValuesIn(transition_cases),
    [](const ::testing::TestParamInfo<transition_case>& info) { return info.param.name; });

// --- Start-up and the state line ------------------------------------------------------------

TEST_F(ResourceManager, StateNamesAreTheTwelveLoggedNames)
{
    const char* expected[] = { "Start", "Getting CS IP", "Checking OVPN Details", "Registering on CS",
        "Getting OVPN Approval", "Getting OVPN Credentials", "Restarting OVPN", "Creating Managing Socket", "Listening",
        "OVPN Recovery", "User Module Update", "Stop" };
    for (int i = 0; i < RM_STATE_COUNT; ++i)
        EXPECT_STREQ(state_names[i], expected[i]);
}

TEST_F(ResourceManager, DiscoveryRetriesWithoutLimitCountingAttempts)
{
    resource_manager& rm = manager(7, 3);
    router.script("obtain_cs_ip", times(3, { 0, ECONNREFUSED }));
    EXPECT_EQ(run_until_script_ends(rm), "obtain_cs_ip");

    // The first line names state 1 with counter 0; state 0 is never logged.
    std::vector<log_line> expected;
    expected.push_back({ LOG_INFO, state_line(RM_GETTING_CS_IP, 0) });
    for (int c = 1; c <= 3; ++c) {
        expected.push_back({ LOG_NOTICE, "Getting CS IP failed. Next attempt in 7 s." });
        expected.push_back({ LOG_INFO, state_line(RM_GETTING_CS_IP, c) });
    }
    EXPECT_EQ(log.lines(), expected);
    EXPECT_EQ(router.pauses, (std::vector<unsigned> { 7, 7, 7 }));
    EXPECT_EQ(router.calls,
        (std::vector<std::string> {
            "obtain_cs_ip", "ovpn_stop", "obtain_cs_ip", "ovpn_stop", "obtain_cs_ip", "ovpn_stop", "obtain_cs_ip" }));
}

TEST_F(ResourceManager, RecoveryTimeoutBelowOneSecondIsTakenAsOne)
{
    // A zero wait in the listening state would run the tunnel check in a busy loop.
    resource_manager& rm = manager(0, 3);
    router.script("obtain_cs_ip", { { 0, ECONNREFUSED }, { 1 } });
    router.script("create_managing_socket", { { 5 } });
    router.script("select", { { 0 }, { 0 } });
    router.script("tunnel_status", { { 1 }, { 0 } });
    EXPECT_EQ(rm.step(RM_GETTING_CS_IP), RM_CHECKING_OVPN_DETAILS);
    EXPECT_EQ(rm.step(RM_CREATING_MANAGING_SOCKET), RM_LISTENING);
    EXPECT_EQ(rm.step(RM_LISTENING), RM_OVPN_RECOVERY);
    EXPECT_EQ(router.pauses, (std::vector<unsigned> { 1 }));
    EXPECT_EQ(router.select_timeouts, (std::vector<unsigned> { 1, 1 }));
    std::vector<std::string> texts = log.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Recovery timeout of 0 s is too short. Using 1 s."), 1);
    EXPECT_TRUE(log.contains(LOG_WARNING, "Recovery timeout of 0 s is too short. Using 1 s."));
}

TEST_F(ResourceManager, FirstStartRunsFromDiscoveryToListening)
{
    resource_manager& rm = manager(7, 3);
    router.script("obtain_cs_ip", { { 1 } });
    router.script("ovpn_credentials_present", { { 0 } });
    router.script("register_on_cs", { { 1 } });
    router.script("get_ovpn_detail_approval", { { 1 } });
    router.script("obtain_ovpn_details", { { 1 } });
    router.script("ovpn_restart", { { 1 } });
    router.script("create_managing_socket", { { 5 } });
    EXPECT_EQ(run_until_script_ends(rm), "select");

    EXPECT_EQ(state_lines(),
        (std::vector<std::string> { state_line(RM_GETTING_CS_IP, 0), state_line(RM_CHECKING_OVPN_DETAILS, 0),
            state_line(RM_REGISTERING_ON_CS, 0), state_line(RM_GETTING_OVPN_APPROVAL, 0),
            state_line(RM_GETTING_OVPN_CREDENTIALS, 0), state_line(RM_RESTARTING_OVPN, 0),
            state_line(RM_CREATING_MANAGING_SOCKET, 0), state_line(RM_LISTENING, 0) }));
    EXPECT_TRUE(log.contains(LOG_NOTICE, "CS's IP was successfuly obtained."));
    EXPECT_TRUE(log.contains(LOG_NOTICE, "Successfuly registered for validation on CS."));
    EXPECT_EQ(log.lines()[log.lines().size() - 2], (log_line { LOG_NOTICE, "Ready for incoming messages." }));
    EXPECT_EQ(router.calls,
        (std::vector<std::string> { "obtain_cs_ip", "ovpn_credentials_present", "register_on_cs", "ovpn_stop",
            "get_ovpn_detail_approval", "obtain_ovpn_details", "flush_one_to_one_nat", "ovpn_restart",
            "iface_addr_mask", "create_managing_socket", "fence_managing_socket", "select" }));
    EXPECT_TRUE(router.pauses.empty());
    EXPECT_EQ(rm.expected_cs_address(), ipv4("10.8.0.1"));
    EXPECT_EQ(router.fenced_for, ipv4("10.8.0.1"));
    EXPECT_EQ(rm.sleep_time(), 5u);
}

TEST_F(ResourceManager, ExceptionFromAnOperationClosesTheManagingSocket)
{
    {
        resource_manager& rm = listening_manager();
        EXPECT_THROW(rm.step(RM_LISTENING), script_end);
        rm_.reset();
    }
    EXPECT_EQ(router.closed, (std::vector<int> { 5 }));
}

// --- States 3 to 5: attempts and sleep_time -------------------------------------------------

TEST_F(ResourceManager, ApprovalCountsUnansweredCyclesAndResetsOnNotValidated)
{
    resource_manager& rm = manager(7, 3);
    router.script("get_ovpn_detail_approval",
        { { 0, QM_ERR_CS_NO_ANSWER }, { 0, QM_ERR_CS_NO_ANSWER }, { 0, QM_ERR_NOT_VALIDATED },
            { 0, QM_ERR_CS_NO_ANSWER }, { 0, EIO }, { 0, QM_ERR_CS_NO_ANSWER }, { 0, QM_ERR_CS_NO_ANSWER } });
    EXPECT_EQ(rm.step(RM_GETTING_OVPN_APPROVAL), RM_GETTING_CS_IP);

    std::vector<std::string> unavailable;
    for (const auto& l : log.lines()) {
        if (l.text.rfind("CS is unavailable", 0) == 0) {
            EXPECT_EQ(l.priority, LOG_DEBUG);
            unavailable.push_back(l.text);
        }
    }
    EXPECT_EQ(unavailable,
        (std::vector<std::string> { "CS is unavailable for 1/3 cycle(s).", "CS is unavailable for 2/3 cycle(s).",
            "CS is unavailable for 1/3 cycle(s).", "CS is unavailable for 2/3 cycle(s).",
            "CS is unavailable for 3/3 cycle(s)." }));
    EXPECT_EQ(log.lines().back(), (log_line { LOG_INFO, "Trying to get CS IP from DS again." }));
    EXPECT_EQ(router.count("ovpn_stop"), 7u); // the tunnel is stopped before every query
    EXPECT_EQ(router.pauses, std::vector<unsigned>(6, 5u));
    EXPECT_EQ(state_lines().back(), state_line(RM_GETTING_OVPN_APPROVAL, 6));
}

TEST_F(ResourceManager, PauseAskedForByTheCsCarriesIntoLaterStates)
{
    resource_manager& rm = manager(7, 3);
    router.script("get_ovpn_detail_approval", { { 0, QM_ERR_NOT_VALIDATED, 30 }, { 0, QM_ERR_APPROVAL_ERROR }, { 1 } });
    EXPECT_EQ(rm.step(RM_GETTING_OVPN_APPROVAL), RM_REGISTERING_ON_CS);
    EXPECT_TRUE(log.contains(LOG_INFO, "Getting CS approval failed. Next attempt in 30 s."));

    router.script("register_on_cs", { { 0, ECONNREFUSED }, { 1 } });
    EXPECT_EQ(rm.step(RM_REGISTERING_ON_CS), RM_GETTING_OVPN_APPROVAL);
    EXPECT_TRUE(log.contains(LOG_INFO, "Registration on CS failed. Next attempt in 30 s."));

    EXPECT_EQ(rm.step(RM_GETTING_OVPN_APPROVAL), RM_GETTING_OVPN_CREDENTIALS);
    router.script("obtain_ovpn_details", { { 0, EIO }, { 1 } });
    EXPECT_EQ(rm.step(RM_GETTING_OVPN_CREDENTIALS), RM_RESTARTING_OVPN);
    EXPECT_TRUE(log.contains(LOG_NOTICE, "Getting OVPN details failed. Next attempt in 30 s."));

    EXPECT_EQ(router.pauses, (std::vector<unsigned> { 30, 30, 30 }));
    EXPECT_EQ(rm.sleep_time(), 30u);
}

// --- Recovery counter 0 or 1 ----------------------------------------------------------------

class SmallRecoveryCounter : public ResourceManager, public ::testing::WithParamInterface<unsigned>
{
};

TEST_P(SmallRecoveryCounter, OneManagingSocketFailureStopsTheDaemon)
{
    resource_manager& rm = manager(7, GetParam());
    router.script("obtain_cs_ip", { { 1 } });
    router.script("ovpn_credentials_present", { { 1 } });
    router.script("ovpn_restart", { { 1 } });
    router.script("create_managing_socket", { { -1, EADDRNOTAVAIL } });
    EXPECT_EQ(rm.run(), 0);
    EXPECT_EQ(router.count("create_managing_socket"), 1u);
    EXPECT_TRUE(router.pauses.empty());
    const auto& lines = log.lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3],
        (log_line { LOG_ERR,
            "Not able to create managing socket. Reached number of retries (" + std::to_string(GetParam())
                + "). Quiting." }));
    EXPECT_EQ(lines[lines.size() - 2], (log_line { LOG_INFO, state_line(RM_STOP, 0) }));
    EXPECT_EQ(lines.back(), (log_line { LOG_NOTICE, "Quillmesh reached STOP state. Quiting." }));
}

INSTANTIATE_TEST_SUITE_P(ZeroAndOne, SmallRecoveryCounter, ::testing::Values(0u, 1u));

// --- State 6 --------------------------------------------------------------------------------

TEST_F(ResourceManager, RestartAndRecoveryAlwaysLogCounterZero)
{
    resource_manager& rm = manager(7, 3);
    router.script("ovpn_restart", times(3, { 0, QM_ERR_TUNNEL_NO_ADDRESS }));
    router.script("cs_reachable", times(3, { 1 }));
    router.script("get_ovpn_detail_approval", times(3, { 1 }));
    int state = RM_RESTARTING_OVPN;
    for (int i = 0; i < 6; ++i)
        state = rm.step(state);
    EXPECT_EQ(state, RM_RESTARTING_OVPN);
    EXPECT_EQ(state_lines(),
        (std::vector<std::string> { state_line(RM_RESTARTING_OVPN, 0), state_line(RM_OVPN_RECOVERY, 0),
            state_line(RM_RESTARTING_OVPN, 0), state_line(RM_OVPN_RECOVERY, 0), state_line(RM_RESTARTING_OVPN, 0),
            state_line(RM_OVPN_RECOVERY, 0) }));
    EXPECT_TRUE(log.contains(LOG_ERR, "Validated router has problems to estabilish a tunnel to the accessible CS."));
    EXPECT_TRUE(log.contains(
        LOG_DEBUG, "The device has incorect openvpn credentials on the router or openvpn process crashed."));
}

// --- State 7 --------------------------------------------------------------------------------

TEST_F(ResourceManager, ExpectedCsAddressIsTheFirstHostOfTheTunnelSubnet)
{
    struct {
        const char* address;
        const char* netmask;
        const char* expected;
        const char* device = "tun0";
    } cases[] = {
        { "10.8.0.6", "255.255.255.0", "10.8.0.1" }, { "172.16.5.130", "255.255.255.128", "172.16.5.129" },
        { "10.8.3.255", "255.255.255.255", "10.8.3.0" }, // the last octet wraps, no carry
        { "10.8.0.6", "255.255.255.0", "10.8.0.1", "quillmesh0" }, // the longest device name
    };
    for (const auto& c : cases) {
        router.tunnel_device = c.device;
        router.tunnel_address = c.address;
        router.tunnel_netmask = c.netmask;
        router.script("create_managing_socket", { { 5 } });
        resource_manager& rm = manager();
        rm.step(RM_CREATING_MANAGING_SOCKET);
        EXPECT_EQ(rm.expected_cs_address(), ipv4(c.expected)) << c.address << "/" << c.netmask;
    }
}

TEST_F(ResourceManager, UnknownTunnelAddressLetsNoPeerMatch)
{
    resource_manager& rm = manager();
    router.script("iface_addr_mask", { { ENODEV } });
    router.script("create_managing_socket", { { 5 } });
    EXPECT_EQ(rm.step(RM_CREATING_MANAGING_SOCKET), RM_LISTENING);
    EXPECT_EQ(rm.expected_cs_address(), 0u);
    EXPECT_TRUE(log.contains(LOG_ERR,
        "Error during calculating expected CS IP. Not able to check if communication "
        "is initiated by CS."));
}

TEST_F(ResourceManager, CheckingCredentialsClosesAManagingSocketLeftOpen)
{
    resource_manager& rm = listening_manager();
    router.script("ovpn_credentials_present", { { 1 } });
    EXPECT_EQ(rm.step(RM_CHECKING_OVPN_DETAILS), RM_RESTARTING_OVPN);
    EXPECT_EQ(router.closed, (std::vector<int> { 5 }));
    EXPECT_EQ(rm.managing_socket(), -1);
}

// --- State 8 --------------------------------------------------------------------------------

TEST_F(ResourceManager, ReachingListeningCommitsAModuleUpdateBeforeServing)
{
    rm_operations ops = router.table();
    ops.commit_module_update = [this] { router.calls.push_back("commit_module_update"); };
    rm_ = std::make_unique<resource_manager>(ops, 7, 3);
    router.script("create_managing_socket", { { 5 } });
    ASSERT_EQ(rm_->step(RM_CREATING_MANAGING_SOCKET), RM_LISTENING);
    router.calls.clear();
    EXPECT_THROW(rm_->step(RM_LISTENING), script_end);
    EXPECT_EQ(router.calls, (std::vector<std::string> { "commit_module_update", "select" }));
}

TEST_F(ResourceManager, AnsweredRequestIsWrittenLoggedAndItsFilesApplied)
{
    resource_manager& rm = listening_manager();
    router.script("select", { { 1 } });
    router.script("accept_control_connection", { { 9 } });
    router.script("process_control_msg", { { 1 } });
    router.messages.push_back("{\"H\":{\"V\":113},\"B\":[{\"T\":13,\"DT\":{}}]}");
    EXPECT_THROW(rm.step(RM_LISTENING), script_end);

    EXPECT_EQ(router.calls,
        (std::vector<std::string> { "select", "accept_control_connection", "peer_address", "set_receive_timeout",
            "read_message", "process_control_msg", "ovpn_write", "apply_staged_files", "select" }));
    EXPECT_EQ(router.requests, (std::vector<std::string> { "{\"H\":{\"V\":113},\"B\":[{\"T\":13,\"DT\":{}}]}" }));
    EXPECT_EQ(router.written, (std::vector<std::string> { router.response }));
    EXPECT_TRUE(log.contains(LOG_DEBUG, "Response sent to CS: " + router.response));
    EXPECT_EQ(router.closed, (std::vector<int> { 9 }));
    EXPECT_EQ(state_lines(), (std::vector<std::string> { state_line(RM_LISTENING, 0), state_line(RM_LISTENING, 1) }));
}

TEST_F(ResourceManager, ConnectionFromAnotherAddressIsClosedUnread)
{
    resource_manager& rm = listening_manager();
    router.script("select", { { 1 } });
    router.script("accept_control_connection", { { 9 } });
    router.script("peer_address", { { 0, 0, ipv4("10.8.0.7") } });
    EXPECT_THROW(rm.step(RM_LISTENING), script_end);
    EXPECT_EQ(
        router.calls, (std::vector<std::string> { "select", "accept_control_connection", "peer_address", "select" }));
    EXPECT_EQ(router.closed.front(), 9);
    EXPECT_TRUE(log.contains(LOG_WARNING, "Received message that was not sent by CS. Ignoring."));
}

TEST_F(ResourceManager, StrangersAreLoggedFivePerMinuteAndTheRestCounted)
{
    resource_manager& rm = manager();
    router.by_default("accept_control_connection", { 9 });
    router.by_default("peer_address", { 0, 0, ipv4("10.8.0.7") });
    auto strangers = [&](int n) {
        router.script("create_managing_socket", { { 5 } });
        ASSERT_EQ(rm.step(RM_CREATING_MANAGING_SOCKET), RM_LISTENING);
        for (int i = 0; i < n; ++i)
            router.script("select", { { 1 } });
        router.script("select", { { 0 } });
        router.script("tunnel_status", { { 0 } });
        EXPECT_EQ(rm.step(RM_LISTENING), RM_OVPN_RECOVERY);
    };
    strangers(20);
    router.clock += 60;
    strangers(1);
    std::vector<std::string> texts;
    for (const auto& text : log.texts())
        if (text.find("not sent by CS") != std::string::npos)
            texts.push_back(text);
    std::vector<std::string> expected(5, "Received message that was not sent by CS. Ignoring.");
    expected.push_back("Ignored 15 more messages that were not sent by CS.");
    expected.push_back("Received message that was not sent by CS. Ignoring.");
    EXPECT_EQ(texts, expected);
}

TEST_F(ResourceManager, UnknownPeerAddressIsNotTakenForTheCs)
{
    resource_manager& rm = listening_manager();
    router.script("select", { { 1 } });
    router.script("accept_control_connection", { { 9 } });
    router.script("peer_address", { { -1, ENOTCONN, 0 } });
    EXPECT_THROW(rm.step(RM_LISTENING), script_end);
    EXPECT_EQ(router.count("read_message"), 0u);
    EXPECT_EQ(router.closed.front(), 9);
}

TEST_F(ResourceManager, RequestThatNeverCompletesIsDroppedWithoutProcessing)
{
    resource_manager& rm = listening_manager();
    router.script("select", { { 1 } });
    router.script("accept_control_connection", { { 9 } });
    router.script("set_receive_timeout", { { -1, EBADF } });
    router.script("read_message", { { 0 } });
    EXPECT_THROW(rm.step(RM_LISTENING), script_end);
    EXPECT_TRUE(log.contains(LOG_ERR, "main: Failed to set a socket timeout: " + std::to_string(EBADF)));
    EXPECT_EQ(router.count("process_control_msg"), 0u);
    EXPECT_EQ(router.closed.front(), 9);
}

TEST_F(ResourceManager, FailedControlRequestSendsNothing)
{
    resource_manager& rm = listening_manager();
    router.script("select", { { 1 } });
    router.script("accept_control_connection", { { 9 } });
    router.script("process_control_msg", { { 0, EINVAL } });
    EXPECT_THROW(rm.step(RM_LISTENING), script_end);
    EXPECT_TRUE(log.contains(LOG_ERR, "Error during processing control message from CS. Response not sent."));
    EXPECT_EQ(router.count("ovpn_write"), 0u);
    EXPECT_EQ(router.count("apply_staged_files"), 0u);
    EXPECT_EQ(router.closed.front(), 9);
}

TEST_F(ResourceManager, UnsentResponseIsNotReportedAsSent)
{
    resource_manager& rm = listening_manager();
    router.script("select", { { 1 } });
    router.script("accept_control_connection", { { 9 } });
    router.script("process_control_msg", { { 1 } });
    router.script("ovpn_write", { { 0, EPIPE } });
    EXPECT_THROW(rm.step(RM_LISTENING), script_end);
    EXPECT_FALSE(log.contains_text("Response sent to CS: " + router.response));
    EXPECT_EQ(router.count("apply_staged_files"), 1u); // what the request staged is still applied
}

TEST_F(ResourceManager, SelectTimeoutWithTheTunnelUpOnlyLogsTheCycle)
{
    resource_manager& rm = listening_manager(7, 3);
    router.script("select", times(3, { 0 }));
    router.script("tunnel_status", times(3, { 1 }));
    EXPECT_THROW(rm.step(RM_LISTENING), script_end);
    EXPECT_EQ(log.lines(),
        (std::vector<log_line> { { LOG_NOTICE, "Ready for incoming messages." },
            { LOG_INFO, state_line(RM_LISTENING, 0) }, { LOG_INFO, state_line(RM_LISTENING, 1) },
            { LOG_INFO, state_line(RM_LISTENING, 2) }, { LOG_INFO, state_line(RM_LISTENING, 3) } }));
    EXPECT_TRUE(router.pauses.empty());
    EXPECT_TRUE(router.closed.empty());
    EXPECT_EQ(rm.managing_socket(), 5);
}

TEST_F(ResourceManager, FailedSelectWithTheTunnelUpPausesFiveSeconds)
{
    resource_manager& rm = listening_manager(7, 3);
    router.script("select", { { -1, EINTR } });
    router.script("tunnel_status", { { 1 } });
    EXPECT_THROW(rm.step(RM_LISTENING), script_end);
    EXPECT_TRUE(log.contains(LOG_DEBUG, "Select() failed: [4] Interrupted system call"));
    EXPECT_EQ(router.pauses, (std::vector<unsigned> { 5 }));
}

TEST_F(ResourceManager, TunnelBackWithAnotherAddressRecreatesTheManagingSocket)
{
    int asked = -1;
    router.managing_socket_stale = [&asked](int listener) {
        asked = listener;
        return true;
    };
    resource_manager& rm = listening_manager();
    router.script("select", { { 0 } });
    router.script("tunnel_status", { { 1 } });
    EXPECT_EQ(rm.step(RM_LISTENING), RM_CREATING_MANAGING_SOCKET);
    EXPECT_EQ(asked, 5);
    EXPECT_EQ(router.closed, (std::vector<int> { 5 }));
    EXPECT_EQ(rm.managing_socket(), -1);
    EXPECT_TRUE(log.contains(LOG_NOTICE, "Tunnel address has changed. Creating managing socket again."));
}

TEST_F(ResourceManager, TimeoutWithTheSocketOnTheTunnelAddressOnlyWaitsAgain)
{
    router.managing_socket_stale = [](int) { return false; };
    resource_manager& rm = listening_manager();
    router.script("select", { { 0 } });
    router.script("tunnel_status", { { 1 } });
    EXPECT_THROW(rm.step(RM_LISTENING), script_end);
    EXPECT_EQ(state_lines().back(), state_line(RM_LISTENING, 1));
    EXPECT_TRUE(router.closed.empty());
}

TEST_F(ResourceManager, FailedAcceptIsLoggedAndListeningGoesOn)
{
    resource_manager& rm = listening_manager();
    router.script("select", { { 1 } });
    router.script("accept_control_connection", { { -1, EMFILE } });
    EXPECT_THROW(rm.step(RM_LISTENING), script_end);
    EXPECT_TRUE(log.contains(LOG_ERR, "main: error on accept: " + std::to_string(EMFILE)));
    EXPECT_EQ(state_lines().back(), state_line(RM_LISTENING, 1));
}

// --- A network change on trial ---------------------------------------------------------------

TEST_F(ResourceManager, ChangeOnTrialIsConfirmedByAControlRequestFromTheCsOnly)
{
    router.trial_waits = true;
    resource_manager& rm = listening_manager();
    router.script("select", { { 1 }, { 1 } });
    router.script("accept_control_connection", { { 9 }, { 10 } });
    router.script("peer_address", { { 0, 0, ipv4("10.8.0.7") }, { 0, 0, ipv4("10.8.0.1") } });
    router.script("process_control_msg", { { 1 } });
    EXPECT_THROW(rm.step(RM_LISTENING), script_end);
    // Heard as soon as the request is read, before it is processed (it may itself be a change).
    EXPECT_EQ(router.calls,
        (std::vector<std::string> { "select", "accept_control_connection", "peer_address", "select",
            "accept_control_connection", "peer_address", "set_receive_timeout", "read_message", "trial_heard_from_cs",
            "process_control_msg", "ovpn_write", "apply_staged_files", "select" }));
    EXPECT_EQ(router.heard, (std::vector<std::string> { "a control request from CS arrived" }));
}

TEST_F(ResourceManager, ChangeOnTrialIsConfirmedByTheCsAnsweringAPingThroughTheTunnel)
{
    resource_manager& rm = listening_manager();
    auto one_timeout = [&] {
        router.script("select", { { 0 } });
        router.script("tunnel_status", { { 1 } });
        EXPECT_THROW(rm.step(RM_LISTENING), script_end);
    };
    one_timeout(); // nothing waits: nothing is pinged
    EXPECT_TRUE(router.pinged.empty());
    router.trial_waits = true;
    router.ping_answers = false;
    one_timeout();
    EXPECT_EQ(router.pinged, (std::vector<uint32_t> { ipv4("10.8.0.1") })); // the CS's tunnel address
    EXPECT_TRUE(router.heard.empty());
    router.ping_answers = true;
    router.trial_left = 4; // the ping waits no longer than the trial has left
    one_timeout();
    EXPECT_EQ(router.heard, (std::vector<std::string> { "CS answered a ping through the tunnel" }));
    EXPECT_EQ(router.ping_waits, (std::vector<unsigned> { 10, 4 }));
}

TEST_F(ResourceManager, ChangeOnTrialShortensTheWaitForRequestsToItsDeadline)
{
    resource_manager& rm = listening_manager(7, 3);
    const struct {
        long left;
        unsigned wait;
    } cases[] = { { -1, 7 }, { 100, 7 }, { 7, 7 }, { 2, 2 }, { 0, 1 } };
    for (const auto& c : cases) {
        router.trial_left = c.left;
        router.select_timeouts.clear();
        router.script("select", { { 0 } });
        router.script("tunnel_status", { { 1 } });
        EXPECT_THROW(rm.step(RM_LISTENING), script_end);
        EXPECT_EQ(router.select_timeouts.front(), c.wait) << c.left << " s left";
    }
}

TEST_F(ResourceManager, ChangeOnTrialIsCheckedBetweenStates)
{
    // A change that keeps the daemon out of the listening state is still undone in time.
    resource_manager& rm = manager();
    router.script("obtain_cs_ip", { { 1 } });
    router.script("ovpn_credentials_present", { { 1 } });
    EXPECT_EQ(run_until_script_ends(rm), "ovpn_restart");
    EXPECT_EQ(router.trial_ticks, 2u);
}

// --- States 9 and 10 ------------------------------------------------------------------------

TEST_F(ResourceManager, RecoveryNotApprovedDeletesTheCredentials)
{
    // A verdict gives the credentials up at once; silence only after the recovery counter's
    // queries, with the approval pause between them.
    const struct {
        std::vector<reply> answers;
        std::vector<unsigned> pauses;
    } cases[] = {
        { { { 0, QM_ERR_NOT_VALIDATED, 30 } }, {} },
        { { { 0, QM_ERR_APPROVAL_ERROR } }, {} },
        { { { 0, QM_ERR_CS_NO_ANSWER }, { 0, QM_ERR_NOT_VALIDATED, 30 } }, { 5 } },
        { times(3, { 0, QM_ERR_CS_NO_ANSWER }), { 5, 5 } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answers.size());
        router = fake_router();
        log.clear();
        resource_manager& rm = manager(7, 3);
        router.script("cs_reachable", { { 1 } });
        router.script("get_ovpn_detail_approval", c.answers);
        EXPECT_EQ(rm.step(RM_OVPN_RECOVERY), RM_GETTING_CS_IP);
        EXPECT_EQ(router.calls.back(), "ovpn_credentials_delete");
        EXPECT_EQ(router.count("get_ovpn_detail_approval"), c.answers.size());
        EXPECT_EQ(router.pauses, c.pauses);
        EXPECT_TRUE(log.contains(LOG_DEBUG, "The CS is accessible. Asking if we are allowed to enter VPN network."));
        EXPECT_TRUE(log.contains(
            LOG_DEBUG, "Not allowed to enter VPN network. Removing certs and trying to knock on CS's door again."));
    }
}

TEST_F(ResourceManager, ModuleUpdateRetriesWithoutLimit)
{
    resource_manager& rm = manager(7, 3);
    router.script("module_download", times(20, { 0 }));
    router.script("module_download", { { 1 }, { 1 } });
    router.script("module_install", { { 0 }, { 1 } });
    EXPECT_EQ(rm.step(RM_USER_MODULE_UPDATE), RM_GETTING_CS_IP);
    EXPECT_EQ(router.pauses, std::vector<unsigned>(21, 7u));
    EXPECT_EQ(state_lines().back(), state_line(RM_USER_MODULE_UPDATE, 21));
    EXPECT_TRUE(log.contains(LOG_ERR, "Module not updated. Waiting 7s for next try."));
    EXPECT_EQ(router.base_urls.front(), "https://192.0.2.1/router_modules");
    EXPECT_EQ(router.base_urls.size(), 22u);
}

// --- The log mask from the module settings ---------------------------------------------------

TEST(LogLevelFromSettings, LevelZeroOrAbsentPassesOnlyEmergencies)
{
    temp_dir dir;
    for (const char* content : { "MOD_QUILLMESH_SYSLOG_LEVEL=0\n", "MOD_QUILLMESH_UCID=x\n" }) {
        write_file(dir.file("settings"), content);
        module_settings s;
        module_settings_load(s, dir.file("settings").c_str());
        log_capture capture;
        qm_set_log_level(s.syslog_level);
        qm_log(LOG_ALERT, "alert");
        qm_log(LOG_EMERG, "emergency");
        EXPECT_EQ(capture.lines(), (std::vector<log_line> { { LOG_EMERG, "emergency" } })) << content;
    }
}

TEST(LogLevelFromSettings, LevelSevenPassesEverything)
{
    temp_dir dir;
    write_file(dir.file("settings"), "MOD_QUILLMESH_SYSLOG_LEVEL=7\n");
    module_settings s;
    module_settings_load(s, dir.file("settings").c_str());
    log_capture capture;
    qm_set_log_level(s.syslog_level);
    qm_log(LOG_DEBUG, "debug");
    qm_log(LOG_EMERG, "emergency");
    EXPECT_EQ(capture.lines().size(), 2u);
}

} // namespace
