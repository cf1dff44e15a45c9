// grafter's entry with the recording backend: what it refuses before it touches anything.
#include "common/system_recording.h"
#include "grafter/grafter.h"

#include <gtest/gtest.h>

TEST(Grafter, WrongArgumentCountExits1AndRunsNothing)
{
    recording_system sys;
    char name[] = "grafter";
    char a[] = "/tmp/a.tgz";
    char b[] = "/tmp/b.tgz";
    char* none[] = { name, nullptr };
    char* two[] = { name, a, b, nullptr };
    EXPECT_EQ(grafter_main(1, none), 1);
    EXPECT_EQ(grafter_main(3, two), 1);
    EXPECT_TRUE(sys.commands.empty());
}
