#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/runner.h"
#include "support/test_support.h"

namespace {
// Where the child's descriptor 1 points, as the child itself reports it through a file (its
// standard output is what is under test).
std::string child_stdout_target()
{
    temp_dir dir;
    std::string report = dir.file("fd1");
    run_program("/bin/sh", "-c", "t=$(readlink /proc/$$/fd/1); echo \"$t\" > \"$0\"", report.c_str(), nullptr);
    return read_file(report);
}
}  // namespace

TEST(RunShell, ReturnsTheExitCodeOfTheCommand)
{
    EXPECT_EQ(run_shell("exit 3"), 3);
    EXPECT_EQ(run_shell("true"), 0);
    EXPECT_EQ(run_shell("exit 255"), 255);
}

TEST(RunShell, EmptyCommandRunsNothing)
{
    EXPECT_EQ(run_shell(""), -1);
}

TEST(RunShell, UnknownCommandGivesTheShellsCode127)
{
    EXPECT_EQ(run_shell("/nonexistent/quillmesh-no-such-command 2>/dev/null"), 127);
}

TEST(RunShellCapture, CollectsBothStreamsInOrder)
{
    std::string out;
    EXPECT_EQ(run_shell_capture("echo a; echo b >&2", &out), 0);
    EXPECT_EQ(out, "a\nb\n");
}

TEST(RunShellCapture, AppendsToWhatTheCallerHad)
{
    std::string out = "before\n";
    run_shell_capture("printf x", &out);
    EXPECT_EQ(out, "before\nx");
}

TEST(RunShellCapture, ReportsFailureAsRawWaitStatus)
{
    int status = run_shell_capture("exit 4");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 4);
    EXPECT_NE(run_shell_capture("false"), 0);
}

TEST(RunShellCapture, LongLinesArriveWhole)
{
    std::string out;
    run_shell_capture("head -c 1000 /dev/zero | tr '\\0' x", &out);
    EXPECT_EQ(out, std::string(1000, 'x'));
}

TEST(RunShellCapture, WithoutOutputTextDrainsThePipe)
{
    // 1 MiB would block a writer whose pipe is never read.
    EXPECT_EQ(run_shell_capture("head -c 1048576 /dev/zero"), 0);
}

TEST(RunProgram, StandardOutputGoesToDevNullByDefault)
{
    EXPECT_EQ(child_stdout_target(), "/dev/null\n");
}

TEST(RunProgram, ReturnsRawWaitStatus)
{
    int status = run_program("/bin/sh", "-c", "exit 7", nullptr);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

TEST(RunProgram, ProgramThatCannotRunExitsWith1)
{
    EXPECT_EQ(run_program("/nonexistent/quillmesh-prog", nullptr), 256);
}

TEST(RunProgram, SearchesPathWhenTheNameHasNoSlash)
{
    EXPECT_EQ(run_program("true", nullptr), 0);
}

TEST(RunProgram, ArgumentWithBlanksStaysOneArgument)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    set_child_stdout(fds[1]);
    run_program("/bin/sh", "-c", "printf '%s|' \"$@\"", "sh", "module 2", "x", nullptr);
    char buf[64] = {};
    ssize_t n = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    ASSERT_GT(n, 0);
    EXPECT_STREQ(buf, "module 2|x|");
}

TEST(RunProgram, HandedOverDescriptorIsClosedInTheParentAndTheTableResets)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    set_child_stdout(fds[1]);
    EXPECT_EQ(run_program("/bin/echo", "hello", nullptr), 0);
    // The parent's write end is gone: the reader sees the child's output and then end of file.
    EXPECT_EQ(fcntl(fds[1], F_GETFD), -1);
    char buf[64] = {};
    ssize_t n = read(fds[0], buf, sizeof buf - 1);
    EXPECT_STREQ(buf, "hello\n");
    EXPECT_EQ(n, 6);
    EXPECT_EQ(read(fds[0], buf, sizeof buf), 0);
    close(fds[0]);

    // A second run goes back to /dev/null.
    EXPECT_EQ(child_stdout_target(), "/dev/null\n");
}

TEST(RunProgram, Descriptor2IsNotTakenAsStandardOutput)
{
    // Were it taken, the child would print on our standard error.
    set_child_stdout(2);
    EXPECT_EQ(child_stdout_target(), "/dev/null\n");
}

TEST(RunProgram, ChildInheritsNoDescriptorsAbove2)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int stray = open("/dev/null", O_RDONLY);  // not close-on-exec
    ASSERT_GE(stray, 3);
    set_child_stdout(fds[1]);
    run_program("/bin/sh", "-c", "ls /proc/self/fd | wc -l", nullptr);
    close(stray);
    char buf[32] = {};
    ASSERT_GT(read(fds[0], buf, sizeof buf - 1), 0);
    close(fds[0]);
    // 0, 1, 2 and the descriptor ls uses to read the directory.
    EXPECT_EQ(atoi(buf), 4);
}
