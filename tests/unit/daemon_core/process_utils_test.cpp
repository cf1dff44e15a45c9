#include "common/file_util.h"
#include "common/system.h"
#include "daemon/process_utils.h"
#include "support/test_support.h"

#include <chrono>
#include <climits>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
std::string link_target(const char* path)
{
    char buf[PATH_MAX] = {};
    ssize_t n = readlink(path, buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

double seconds_of(uint32_t ms)
{
    auto start = std::chrono::steady_clock::now();
    msleep(ms);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
} // namespace

TEST(Daemonize, LeavesStandardStreamsOnDevNullAndWorksFromRoot)
{
    temp_dir dir;
    std::string report = dir.file("report");
    pid_t starter = fork();
    ASSERT_GE(starter, 0);
    if (starter == 0) {
        if (daemonize() != 0)
            _exit(3);
        // In the daemon: describe what it inherited.
        mode_t mask = umask(0);
        char cwd[PATH_MAX] = {};
        std::string text = link_target("/proc/self/fd/0") + "\n" + link_target("/proc/self/fd/1") + "\n"
            + link_target("/proc/self/fd/2") + "\n" + (getcwd(cwd, sizeof cwd) ? cwd : "?") + "\n"
            + std::to_string(mask) + "\n" + std::to_string(getsid(0) == getpid()) + "\n";
        write_file(report + ".tmp", text);
        rename((report + ".tmp").c_str(), report.c_str());
        _exit(0);
    }
    int status = 0;
    waitpid(starter, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0); // the starting process leaves with 0 at once
    for (int i = 0; i < 500 && !file_exists(report); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // The daemon is the grandchild: not a session leader (second fork), streams on /dev/null,
    // working from /, creating files not writable by others (umask 022 = 18).
    EXPECT_EQ(read_file(report), "/dev/null\n/dev/null\n/dev/null\n/\n18\n0\n");
}

// Under the module's supervisor: no fork, so the supervisor waits for the daemon itself and
// learns how it ended.
TEST(Daemonize, StaysTheChildOfItsStarterWhenSupervised)
{
    temp_dir dir;
    std::string report = dir.file("report");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        pid_t before = getpid();
        if (daemonize(true) != 0)
            _exit(3);
        write_file(report,
            link_target("/proc/self/fd/1") + "\n" + std::to_string(getpid() == before) + "\n"
                + std::to_string(getsid(0) == getpid()) + "\n");
        _exit(7);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7); // the daemon's own status reaches its starter
    // The same process, streams on /dev/null, leading a session of its own.
    EXPECT_EQ(read_file(report), "/dev/null\n1\n1\n");
}

TEST(Msleep, SleepsSecondsAndMilliseconds)
{
    double half = seconds_of(500);
    EXPECT_GE(half, 0.5);
    EXPECT_LT(half, 1.0);
    double one_and_half = seconds_of(1500);
    EXPECT_GE(one_and_half, 1.5);
    EXPECT_LT(one_and_half, 2.0);
}
