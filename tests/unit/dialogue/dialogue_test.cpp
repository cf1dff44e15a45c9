// The parts of the dialogue that touch no router path: reading CS answers that store nothing,
// the DS candidate list, the approval's precondition.
#include "common/error.h"
#include "common/log.h"
#include "dialogue/cs_exchange.h"
#include "dialogue/discovery.h"
#include "dialogue/initial_actions.h"
#include "settings/module_settings.h"
#include "support/test_support.h"

#include <cerrno>
#include <gtest/gtest.h>

namespace
{

TEST(ProcessSecureCsMsg, AcceptsAcknowledgementWithOrWithoutStatus)
{
    log_capture log;
    EXPECT_EQ(process_secure_cs_msg(R"({"H":{"V":113},"B":[{"T":22,"I":0,"ER":0}]})"), 1);
    EXPECT_EQ(process_secure_cs_msg(R"({"B":[{"T":22}],"H":{"V":113}})"), 1);
    EXPECT_TRUE(log.lines().empty());
}

TEST(ProcessSecureCsMsg, OtherVersionGives275WithOnlyTheWarning)
{
    log_capture log;
    errno = 0;
    EXPECT_EQ(process_secure_cs_msg(R"({"H":{"V":112},"B":[{"T":22}]})"), 0);
    EXPECT_EQ(errno, QM_ERR_VERSION_MISMATCH);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(
        log.lines()[0], (log_line { LOG_WARNING, "Message protocol version missmatch  (expected: 113 found: 112)." }));
}

TEST(ProcessSecureCsMsg, DefectiveAnswersAreLoggedWithTheAnswerText)
{
    struct defect {
        const char* answer;
        const char* error;
    } cases[] = {
        { R"({"H":{"V":113},"B":[{"T":22,"ER":3,"MG":"device unknown"}]})",
            "Received an error message - device unknown" },
        { "{not json}", "Malformed JSON message, can not be parsed." },
        { R"({"B":[{"T":22}]})", R"(Object [H] could not be found in JSON string '{"B":[{"T":22}]}'.)" },
        { R"({"H":{"V":113},"B":[{"T":7,"DT":{"7-1":"a","7-2":"b"}}]})",
            R"(Object [7-3] could not be found in JSON string '{"7-1":"a","7-2":"b"}'.)" },
        { R"({"H":{"V":113},"B":[{"T":7,"ER":1}]})",
            R"(Object [MG] could not be found in JSON string '{"T":7,"ER":1}'.)" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        log_capture log;
        EXPECT_EQ(process_secure_cs_msg(c.answer), 0);
        ASSERT_EQ(log.lines().size(), 2u);
        EXPECT_EQ(log.lines()[0], (log_line { LOG_ERR, c.error }));
        EXPECT_EQ(log.lines()[1], (log_line { LOG_DEBUG, c.answer }));
    }
}

TEST(ProcessSecureCsMsg, RefusesTypesOtherThanAcknowledgementAndCredentials)
{
    log_capture log;
    EXPECT_EQ(process_secure_cs_msg(R"({"H":{"V":113},"B":[{"T":5,"I":0,"ER":0}]})"), 0);
    EXPECT_TRUE(log.contains(LOG_ERR, "process_secure_cs_msg: Received a message with invalid/unsupported code\n"));
}

TEST(DsCandidateList, LocalBeforeCoreSkippingWhatGivesNoIpv4Address)
{
    module_settings s;
    s.local_ds_ip[1] = "192.0.2.10";
    s.local_ds_ip[2] = "::1"; // resolves, but to IPv6 only
    s.core_ds_ip[0] = "";
    s.core_ds_ip[2] = "198.51.100.7";
    log_capture log;
    EXPECT_EQ(ds_candidate_list(s), (std::vector<std::string> { "192.0.2.10", "198.51.100.7" }));
    EXPECT_EQ(log.texts(),
        (std::vector<std::string> { "192.0.2.10 resolved to 192.0.2.10", "198.51.100.7 resolved to 198.51.100.7" }));
}

TEST(DsCandidateList, OnlySecondCoreEntryGivesOneCandidate)
{
    module_settings s;
    s.core_ds_ip[1] = "203.0.113.5";
    EXPECT_EQ(ds_candidate_list(s), std::vector<std::string> { "203.0.113.5" });
}

TEST(GetOvpnDetailApprovalDeathTest, NullSleepTimeEndsTheProcess)
{
    EXPECT_DEATH(get_ovpn_detail_approval(nullptr),
        "int get_ovpn_detail_approval\\(unsigned int\\*\\): Assertion `sleep_time != NULL' failed");
}

} // namespace
