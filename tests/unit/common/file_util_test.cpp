#include "common/error.h"
#include "common/file_util.h"
#include "common/handles.h"
#include "common/log.h"
#include "common/private_dir.h"
#include "common/system.h"
#include "common/system_recording.h"
#include "support/test_support.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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
    EXPECT_EQ(log.lines()[0], (log_line { LOG_ERR, "file_to_array: /nonexistent/qm-file: No such file or directory" }));
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

TEST(AtomicFile, SyncsTheNewContentUnderItsTemporaryNameAndThenTheDirectory)
{
    temp_dir dir;
    write_file(dir.file("f"), "old");
    recording_system sys;
    atomic_file save(dir.file("f"));
    fputs("new", save.get());
    ASSERT_EQ(save.commit(), 0);
    // Synced after the rename, the file would be seen under its final name.
    ASSERT_EQ(sys.syncs.size(), 2u);
    EXPECT_EQ(sys.syncs[0].rfind(dir.path() + "/", 0), 0u) << sys.syncs[0];
    EXPECT_NE(sys.syncs[0], dir.file("f"));
    EXPECT_EQ(sys.syncs[1], dir.path());
    EXPECT_EQ(read_file(dir.file("f")), "new");
}

TEST(AtomicFile, DroppedWithoutCommitLeavesTheOldFileAndNoTemporary)
{
    temp_dir dir;
    std::string path = dir.file("f");
    write_file(path, "old");
    {
        atomic_file out(path, 0644);
        ASSERT_TRUE(out);
        fputs("new", out.get());
    }
    EXPECT_EQ(read_file(path), "old");
    std::string listing;
    run_shell_capture("ls -A " + dir.path(), &listing);
    EXPECT_EQ(listing, "f\n");
}

TEST(AtomicFile, SaveThroughASymbolicLinkReplacesTheFileTheLinkNames)
{
    struct {
        const char* name;
        std::vector<std::pair<std::string, std::string>> links; // link name -> link text, in the temp dir
        const char* lands_in; // file that gets the content; null: refused
    } cases[] = {
        { "relative", { { "settings", "store/settings" } }, "store/settings" },
        { "absolute", { { "settings", "@/store/settings" } }, "store/settings" },
        { "chain", { { "settings", "hop" }, { "hop", "store/settings" } }, "store/settings" },
        { "dangling, directory there", { { "settings", "store/new" } }, "store/new" },
        { "dangling, directory missing", { { "settings", "gone/settings" } }, nullptr },
        { "loop", { { "settings", "hop" }, { "hop", "settings" } }, nullptr },
    };
    for (const auto& c : cases) {
        temp_dir dir;
        run_shell("mkdir " + dir.file("store"));
        write_file(dir.file("store/settings"), "old");
        for (const auto& link : c.links) {
            std::string text = link.second[0] == '@' ? dir.path() + link.second.substr(1) : link.second;
            ASSERT_EQ(symlink(text.c_str(), dir.file(link.first).c_str()), 0) << c.name;
        }
        std::string error = message_of([&] { string_to_file("new", dir.file("settings"), "w"); });
        struct stat st;
        ASSERT_EQ(lstat(dir.file("settings").c_str(), &st), 0) << c.name;
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << c.name;
        std::string listing;
        run_shell_capture("cd " + dir.path() + " && ls -A . store", &listing);
        if (c.lands_in) {
            EXPECT_EQ(error, "(nothing thrown)") << c.name;
            EXPECT_EQ(read_file(dir.file(c.lands_in)), "new") << c.name;
            EXPECT_EQ(listing.find(".settings."), std::string::npos) << c.name << ": " << listing;
        } else {
            EXPECT_NE(error, "(nothing thrown)") << c.name;
            EXPECT_EQ(read_file(dir.file("store/settings")), "old") << c.name;
            EXPECT_EQ(listing.find(".settings."), std::string::npos) << c.name << ": " << listing;
            EXPECT_FALSE(file_exists(dir.file("gone"))) << c.name;
        }
    }
}

TEST(AtomicFile, SaveKeepsTheOwnerAndModeOfTheFileItReplaces)
{
    struct {
        mode_t writer;
        mode_t existing;
        mode_t expected;
    } cases[] = {
        { 0644, 0600, 0600 }, // tightened by an operator: stays tight
        { 0644, 0640, 0640 },
        { 0644, 0664, 0664 },
        { 0644, 0666, 0664 }, // but never writable by every local user
        { 0600, 0644, 0600 }, // a key never ends up wider than its writer makes it
        { 0600, 0400, 0400 },
    };
    mode_t old_umask = umask(0);
    for (const auto& c : cases) {
        temp_dir dir;
        write_file(dir.file("store"), "old");
        ASSERT_EQ(symlink("store", dir.file("link").c_str()), 0);
        chmod(dir.file("store").c_str(), c.existing);
        bool root = geteuid() == 0;
        for (const char* path : { "store", "link" }) {
            ASSERT_EQ(string_to_file("new", dir.file(path), "w", c.writer), 0);
            struct stat st;
            ASSERT_EQ(stat(dir.file("store").c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, c.expected)
                << std::oct << c.writer << " over " << c.existing << " via " << path;
        }
        // The owner stays too; but a private file (a key) is never written into a file that
        // another user owns, wherever a link leads.
        if (root) {
            ASSERT_EQ(chown(dir.file("store").c_str(), 4321, 4322), 0);
            for (const char* path : { "store", "link" }) {
                const bool is_private = (c.writer & 077) == 0;
                int status = -1;
                try {
                    status = string_to_file("newer", dir.file(path), "w", c.writer);
                } catch (const GenericError&) {
                }
                EXPECT_EQ(status == 0, !is_private) << path;
                struct stat st;
                ASSERT_EQ(stat(dir.file("store").c_str(), &st), 0);
                EXPECT_EQ(st.st_uid, 4321u);
                EXPECT_EQ(st.st_gid, 4322u);
                EXPECT_EQ(read_file(dir.file("store")), is_private ? "new" : "newer");
            }
        }
    }
    umask(old_umask);
}

// A removal of a tree that another user may change while it runs: links are removed, never
// followed, also when a directory is replaced by a link between the listing and the removal.
TEST(RemoveTree, RemovesLinksNeverWhatTheyPointAt)
{
    temp_dir dir;
    ASSERT_EQ(mkdir(dir.file("outside").c_str(), 0700), 0);
    write_file(dir.file("outside/keep"), "x");
    ASSERT_EQ(mkdir(dir.file("tree").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir.file("tree/sub").c_str(), 0700), 0);
    write_file(dir.file("tree/sub/f"), "x");
    ASSERT_EQ(symlink(dir.file("outside").c_str(), dir.file("tree/link").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("outside").c_str(), dir.file("tree/sub/link").c_str()), 0);
    EXPECT_TRUE(remove_tree(dir.file("tree")));
    EXPECT_FALSE(file_exists(dir.file("tree")));
    EXPECT_TRUE(file_exists(dir.file("outside/keep")));
    // A link in place of the tree itself is removed as the link it is.
    ASSERT_EQ(symlink(dir.file("outside").c_str(), dir.file("tree").c_str()), 0);
    EXPECT_TRUE(remove_tree(dir.file("tree")));
    EXPECT_TRUE(file_exists(dir.file("outside/keep")));
}
