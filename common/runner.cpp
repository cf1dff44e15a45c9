#include "common/runner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr int max_program_args = 62;

// Descriptors for the standard streams of the next run_program child; -1 means /dev/null.
thread_local int child_redirects[3] = {-1, -1, -1};

void close_from(int lowest)
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    if (close_range(static_cast<unsigned>(lowest), ~0U, 0) == 0)
        return;
#endif
    for (int fd = getdtablesize() - 1; fd >= lowest; --fd)
        close(fd);
}

[[noreturn]] void exec_child(const char* path, char* const argv[])
{
    int devnull = open("/dev/null", O_RDWR);
    // Keep /dev/null out of the way of the three slots being rewired.
    if (devnull >= 0 && devnull <= 2) {
        int moved = fcntl(devnull, F_DUPFD, 3);
        close(devnull);
        devnull = moved;
    }
    for (int k = 0; k <= 2; ++k) {
        int want = child_redirects[k];
        if (want == k)
            continue;
        close(k);
        if (want >= 0)
            dup2(want, k);
        else if (devnull >= 0)
            dup2(devnull, k);
    }
    close_from(3);
    execvp(path, argv);
    _exit(1);
}
}  // namespace

int run_shell(const std::string& command)
{
    if (command.empty())
        return -1;
    int status = system(command.c_str());
    return (status >> 8) & 0xff;
}

int run_shell_capture(const std::string& command, std::string* output)
{
    std::string line = "exec 2>&1; " + command;
    FILE* pipe = popen(line.c_str(), "r");
    if (!pipe)
        return -1;
    char piece[256];
    while (fgets(piece, sizeof piece, pipe)) {
        if (output)
            output->append(piece);
    }
    return pclose(pipe);
}

void set_child_stdout(int fd)
{
    if (fd == 0 || fd == 2)
        return;
    child_redirects[1] = fd;
}

int run_program(const char* path, ...)
{
    char* argv[max_program_args + 2];
    int argc = 0;
    argv[argc++] = strdup(path);
    va_list args;
    va_start(args, path);
    while (argc <= max_program_args) {
        const char* arg = va_arg(args, const char*);
        if (!arg)
            break;
        argv[argc++] = strdup(arg);
    }
    va_end(args);
    argv[argc] = nullptr;

    pid_t pid = fork();
    if (pid == 0)
        exec_child(path, argv);

    for (int& fd : child_redirects) {
        if (fd > 2)
            close(fd);
        fd = -1;
    }
    for (int i = 0; i < argc; ++i)
        free(argv[i]);
    if (pid < 0)
        return -1;

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}
