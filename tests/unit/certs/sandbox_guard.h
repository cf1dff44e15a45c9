// Refuses to run a test binary that touches the router's paths anywhere but in the sandbox,
// and lets `sudo` find the sandbox's own host name without asking a name server that the
// sandbox cannot reach (each such lookup would stall every sudo call for many seconds).
#pragma once

#include "common/system.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

class sandbox_guard : public ::testing::Environment
{
public:
    void SetUp() override
    {
        ASSERT_TRUE(in_sandbox()) << "this test changes the router's files: run it through tests/sandbox/qm-sandbox";
        // /etc is the sandbox's private overlay.
        run_shell("h=$(hostname); grep -qw \"$h\" /etc/hosts || echo \"127.0.1.1 $h\" >> /etc/hosts");
    }
};

inline ::testing::Environment* const sandbox_guard_env = ::testing::AddGlobalTestEnvironment(new sandbox_guard);
