// The file store's decoding and atomic store, in a temporary directory.
#include "common/log.h"
#include "control/file_store.h"
#include "support/test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace
{

TEST(Base64Decode, CompleteAndPartialGroups)
{
    EXPECT_EQ(base64_decode("TWFu"), "Man");
    EXPECT_EQ(base64_decode("TWE="), "Ma");
    EXPECT_EQ(base64_decode("TWFuTW"), "ManM");
    EXPECT_EQ(base64_decode("TWFuT"), "Man"); // a single left-over character adds nothing
    EXPECT_EQ(base64_decode("TWFu=TWFu"), "Man");
    EXPECT_EQ(base64_decode("TW!Fu"), "M");
    EXPECT_EQ(base64_decode(""), "");
    EXPECT_EQ(base64_decode("AAEC//+/"), std::string("\x00\x01\x02\xff\xff\xbf", 6));
}

TEST(StoreBase64File, WritesTheDecodedBytesReplacingTheOldFile)
{
    temp_dir dir;
    write_file(dir.file("f"), "old content that is longer");
    EXPECT_TRUE(store_base64_file("AAEC", dir.file("f")));
    EXPECT_EQ(read_file(dir.file("f")), std::string("\x00\x01\x02", 3));
    // Readable as the router's restore expects a configuration file to be.
    struct stat st;
    ASSERT_EQ(stat(dir.file("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(StoreBase64File, MissingDirectoryIsAFailure)
{
    temp_dir dir;
    log_capture logs;
    EXPECT_FALSE(store_base64_file("TWFu", dir.file("none/f")));
    ASSERT_FALSE(logs.lines().empty());
    EXPECT_EQ(logs.lines().back().text.rfind("store_base64_file: " + dir.file("none/f") + ": ", 0), 0u);
}

} // namespace
