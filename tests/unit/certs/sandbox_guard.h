// Refuses to run a test binary that touches the router's paths anywhere but in the sandbox.
#pragma once

#include "support/test_support.h"

#include <gtest/gtest.h>

class sandbox_guard : public ::testing::Environment
{
public:
    void SetUp() override
    {
        ASSERT_TRUE(in_sandbox()) << "this test changes the router's files: run it through tests/sandbox/qm-sandbox";
    }
};

inline ::testing::Environment* const sandbox_guard_env = ::testing::AddGlobalTestEnvironment(new sandbox_guard);
