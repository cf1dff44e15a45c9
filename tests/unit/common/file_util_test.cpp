#include <sys/stat.h>

#include <cstring>

#include <gtest/gtest.h>

#include "common/error.h"
#include "common/file_util.h"
#include "common/log.h"
#include "common/runner.h"
#include "support/test_support.h"

TEST(FileExists, TrueForFilesAndDirectoriesFalseOtherwise)
{
    temp_dir dir;
    write_file(dir.file("f"), "x");
    EXPECT_TRUE(file_exists(dir.file("f")));
    EXPECT_TRUE(file_exists(dir.path()));
    EXPECT_FALSE(file_exists(dir.file("none")));
}

TEST(FileToArray, ReturnsLengthMinusOneAndCutsAtTheBufferSize)
{
    temp_dir dir;
    write_file(dir.file("ten"), "0123456789");
    write_file(dir.file("one"), "x");
    write_file(dir.file("empty"), "");
    char buf[4000];
    EXPECT_EQ(file_to_array(dir.file("ten").c_str(), buf, sizeof buf), 9);
    EXPECT_STREQ(buf, "0123456789");
    EXPECT_EQ(file_to_array(dir.file("ten").c_str(), buf, 5), 3);
    EXPECT_STREQ(buf, "0123");
    EXPECT_EQ(file_to_array(dir.file("one").c_str(), buf, sizeof buf), 0);
    EXPECT_EQ(file_to_array(dir.file("empty").c_str(), buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "");
}

TEST(FileToArray, MissingFileLogsOneErrorAndLeavesAnEmptyBuffer)
{
    log_capture log;
    char buf[16];
    strcpy(buf, "stale");
    EXPECT_EQ(file_to_array("/nonexistent/qm-file", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], (log_line{LOG_ERR, "file_to_array: /nonexistent/qm-file: No such file or directory"}));
}

TEST(StringToFile, OpenFailureThrowsTheComposedMessage)
{
    try {
        string_to_file("x", "/nonexistent/dir/file", "w");
        FAIL() << "no exception";
    } catch (const GenericError& e) {
        EXPECT_STREQ(e.what(), "Failed to open file [w]: '/nonexistent/dir/file': No such file or directory");
    }
    EXPECT_THROW(string_to_file("x", "/nonexistent/dir/file", "a"), GenericError);
}

TEST(StringToFile, WriteReplacesAndAppendAppends)
{
    temp_dir dir;
    std::string path = dir.file("f");
    EXPECT_EQ(string_to_file("first", path, "w"), 0);
    EXPECT_EQ(string_to_file("second", path, "w"), 0);
    EXPECT_EQ(string_to_file("+more", path, "a"), 0);
    EXPECT_EQ(read_file(path), "second+more");
}

TEST(StringToFile, ContentCountsUpToItsFirstNul)
{
    temp_dir dir;
    string_to_file(std::string("ab\0cd", 5), dir.file("f"), "w");
    EXPECT_EQ(read_file(dir.file("f")), "ab");
}

TEST(StringToFile, FilesGetTheirModeFromTheFirstMoment)
{
    temp_dir dir;
    mode_t old = umask(0);
    string_to_file("public", dir.file("cert"), "w");
    string_to_file("secret", dir.file("key"), "w", 0600);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(dir.file("cert").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(stat(dir.file("key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(AtomicFile, AbortLeavesTheOldFileAndNoTemporary)
{
    temp_dir dir;
    std::string path = dir.file("f");
    write_file(path, "old");
    std::string temp;
    FILE* f = atomic_file_begin(path, 0644, temp);
    ASSERT_NE(f, nullptr);
    fputs("new", f);
    atomic_file_abort(f, temp);
    EXPECT_EQ(read_file(path), "old");
    EXPECT_FALSE(file_exists(temp));
}
