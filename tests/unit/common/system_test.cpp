// The side-effect seam: its real backend against real commands, and the recording backend that
// the other subsystems' unit tests stand on.
#include "common/system.h"
#include "common/system_recording.h"
#include "support/test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
// Where the child's descriptor 1 points, as the child itself reports it through a file (its
// standard output is what is under test).
std::string child_stdout_target(std::string* output = nullptr)
{
    temp_dir dir;
    std::string report = dir.file("fd1");
    run_program({ "/bin/sh", "-c", "t=$(readlink /proc/$$/fd/1); echo \"${t%%:*}\" > \"$0\"", report }, output);
    return read_file(report);
}

int open_descriptors()
{
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd)
        count += fcntl(fd, F_GETFD) != -1;
    return count;
}
} // namespace

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

TEST(RunShell, StatusVariantReturnsTheRawWaitStatus)
{
    EXPECT_EQ(run_shell_status("exit 3"), 3 << 8);
    int status = run_shell_status("kill -TERM $$");
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
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

TEST(RunProgram, StandardOutputGoesToDevNullUnlessAsked)
{
    EXPECT_EQ(child_stdout_target(), "/dev/null\n");
    std::string output;
    EXPECT_EQ(child_stdout_target(&output), "pipe\n");
    // Not the parent's standard output or error, and the next run is back on /dev/null.
    EXPECT_EQ(child_stdout_target(), "/dev/null\n");
}

TEST(RunProgram, ReturnsRawWaitStatus)
{
    int status = run_program({ "/bin/sh", "-c", "exit 7" });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

TEST(RunProgram, ProgramThatCannotRunExitsWith1)
{
    EXPECT_EQ(run_program({ "/nonexistent/quillmesh-prog" }), 256);
}

TEST(RunProgram, SearchesPathWhenTheNameHasNoSlash)
{
    EXPECT_EQ(run_program({ "true" }), 0);
}

TEST(RunProgram, OutputArrivesWithEveryArgumentWholeAndNoDescriptorStaysBehind)
{
    int before = open_descriptors();
    std::string output = "kept|";
    EXPECT_EQ(run_program({ "/bin/sh", "-c", "printf '%s|' \"$@\"", "sh", "module 2", "x" }, &output), 0);
    EXPECT_EQ(output, "kept|module 2|x|");
    EXPECT_EQ(open_descriptors(), before);
}

TEST(RunProgram, ChildInheritsNoDescriptorsAbove2)
{
    int stray = open("/dev/null", O_RDONLY); // not close-on-exec
    ASSERT_GE(stray, 3);
    std::string output;
    run_program({ "/bin/sh", "-c", "ls /proc/self/fd | wc -l" }, &output);
    close(stray);
    // 0, 1, 2 and the descriptor ls uses to read the directory.
    EXPECT_EQ(atoi(output.c_str()), 4);
}

TEST(RunProgram, OutputBeyondThePipeIsCutAndALingeringChildDoesNotHoldTheRead)
{
    std::string output;
    EXPECT_EQ(run_program({ "/bin/sh", "-c", "head -c 1048576 /dev/zero; (sleep 3 &)" }, &output), 0);
    EXPECT_GT(output.size(), 0u);
    EXPECT_LT(output.size(), 1048576u);
}

TEST(RecordingSystem, KeepsTheExactTextsAndAnswersAsScripted)
{
    recording_system sys;
    sys.script("iptables -C", 1);
    sys.script("/usr/bin/status -v sys", 0, "Serial Number : 42\n");
    sys.script("/sbin/service wifi", 1, "", 1); // once
    std::string output;
    EXPECT_EQ(run_shell("iptables -C INPUT -j x -t filter -w 2>/dev/null"), 1);
    EXPECT_EQ(run_program({ "/usr/bin/status", "-v", "sys" }, &output), 0);
    EXPECT_EQ(output, "Serial Number : 42\n");
    EXPECT_EQ(run_program({ "/sbin/service", "wifi", "restart" }), 256);
    EXPECT_EQ(run_program({ "/sbin/service", "wifi", "restart" }), 0);
    EXPECT_EQ(run_shell_capture("rm -rf /", &output), 0); // unscripted: nothing runs, exit 0
    EXPECT_EQ(sys.commands,
        (std::vector<std::string> { "iptables -C INPUT -j x -t filter -w 2>/dev/null", "/usr/bin/status -v sys",
            "/sbin/service wifi restart", "/sbin/service wifi restart", "rm -rf /" }));
}

TEST(RecordingSystem, PausesMoveOnlyItsClockAndItStepsAsideWhenGone)
{
    auto start = std::chrono::steady_clock::now();
    {
        recording_system sys;
        auto t0 = monotonic_now();
        sleep_seconds(3600);
        msleep(500);
        EXPECT_EQ(monotonic_now() - t0, std::chrono::milliseconds(3600500));
        EXPECT_EQ(sys.sleep_seconds(), (std::vector<unsigned> { 3600, 0 }));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(run_shell("exit 5"), 5); // the real backend again
}
