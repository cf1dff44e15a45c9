#include "common/log.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

TEST(Log, MaskLetsThroughEverythingUpToTheLevel)
{
    EXPECT_EQ(qm_log_mask_for_level(0), LOG_MASK(LOG_EMERG));
    EXPECT_EQ(qm_log_mask_for_level(7), LOG_UPTO(LOG_DEBUG));
    EXPECT_EQ(qm_log_mask_for_level(5), LOG_UPTO(LOG_NOTICE));
}

TEST(Log, CaptureSinkHonoursTheConfiguredLevel)
{
    log_capture capture;
    qm_set_log_level(0);
    qm_log(LOG_CRIT, "dropped");
    qm_log(LOG_EMERG, "kept %d", 1);
    qm_set_log_level(7);
    qm_log(LOG_DEBUG, "debug %s", "line");
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_EQ(capture.lines()[0], (log_line { LOG_EMERG, "kept 1" }));
    EXPECT_EQ(capture.lines()[1], (log_line { LOG_DEBUG, "debug line" }));
}
