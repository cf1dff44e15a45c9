#include "common/system.h"

#include "common/log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

volatile unsigned char SIGTERM_ARRIVED = 0;

namespace
{
constexpr size_t max_program_args = 62;

void close_from(int lowest)
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    if (close_range(static_cast<unsigned>(lowest), ~0U, 0) == 0)
        return;
#endif
    for (int fd = getdtablesize() - 1; fd >= lowest; --fd)
        close(fd);
}

// In the child: descriptor 1 becomes `out` (or /dev/null when -1), 0 and 2 lead to /dev/null,
// nothing above 2 stays open.
[[noreturn]] void exec_child(char* const argv[], int out)
{
    int devnull = open("/dev/null", O_RDWR);
    // Keep /dev/null and the output out of the way of the three slots being rewired.
    if (devnull >= 0 && devnull <= 2) {
        int moved = fcntl(devnull, F_DUPFD, 3);
        close(devnull);
        devnull = moved;
    }
    if (out >= 0 && out <= 2) {
        int moved = fcntl(out, F_DUPFD, 3);
        out = moved;
    }
    for (int k = 0; k <= 2; ++k) {
        close(k);
        int want = k == 1 && out >= 0 ? out : devnull;
        if (want >= 0)
            dup2(want, k);
    }
    close_from(3);
    execvp(argv[0], argv);
    _exit(1);
}

// Appends what the pipe holds without waiting for more: a process the program left behind may
// still hold the write end. False on a read error.
bool drain(int fd, std::string& output)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    char piece[4096];
    for (;;) {
        ssize_t n = read(fd, piece, sizeof piece);
        if (n > 0) {
            output.append(piece, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n == 0 || errno == EAGAIN;
    }
}

class real_system : public system_backend
{
public:
    int shell(const std::string& command, std::string* output) override
    {
        if (!output)
            return system(command.c_str());
        std::string line = "exec 2>&1; " + command;
        FILE* pipe = popen(line.c_str(), "r");
        if (!pipe)
            return -1;
        char piece[256];
        while (fgets(piece, sizeof piece, pipe))
            output->append(piece);
        return pclose(pipe);
    }

    int program(const std::vector<std::string>& argv, std::string* output) override
    {
        if (argv.empty())
            return -1;
        std::vector<char*> args;
        for (size_t i = 0; i < argv.size() && i <= max_program_args; ++i)
            args.push_back(const_cast<char*>(argv[i].c_str()));
        args.push_back(nullptr);

        int fds[2] = { -1, -1 };
        if (output) {
            if (pipe2(fds, O_CLOEXEC) != 0)
                return -1;
            // A program that prints more than the pipe holds must not block forever while
            // nobody reads: its writes fail instead, and the part that fitted is what counts.
            fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
        }
        pid_t pid = fork();
        if (pid == 0)
            exec_child(args.data(), fds[1]);
        if (fds[1] >= 0)
            close(fds[1]);
        int status = -1;
        if (pid > 0) {
            while (waitpid(pid, &status, 0) < 0) {
                if (errno != EINTR) {
                    status = -1;
                    break;
                }
            }
        }
        if (fds[0] >= 0) {
            if (status != -1 && !drain(fds[0], *output))
                status = -1;
            close(fds[0]);
        }
        return status;
    }

    int sync(int fd) override { return fsync(fd); }

    void sleep(std::chrono::milliseconds duration) override
    {
        long long ms = duration.count() < 0 ? 0 : duration.count();
        struct timespec request = { static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000L) };
        struct timespec remaining = { 0, 0 };
        while (nanosleep(&request, &remaining) != 0) {
            if (errno != EINTR) {
                qm_log(LOG_DEBUG, "msleep: something went terribly wrong");
                return;
            }
            if (SIGTERM_ARRIVED) {
                qm_log(LOG_DEBUG, "msleep: sigterm arrived");
                return;
            }
            request = remaining;
        }
    }

    std::chrono::steady_clock::time_point now() override { return std::chrono::steady_clock::now(); }
};

real_system real_backend;
system_backend* installed = &real_backend;
} // namespace

system_backend& router_system()
{
    return *installed;
}

system_backend* install_system_backend(system_backend* backend)
{
    system_backend* previous = installed;
    installed = backend ? backend : &real_backend;
    return previous;
}

int run_shell(const std::string& command)
{
    if (command.empty())
        return -1;
    return (router_system().shell(command, nullptr) >> 8) & 0xff;
}

int run_shell_status(const std::string& command)
{
    return router_system().shell(command, nullptr);
}

int run_shell_capture(const std::string& command, std::string* output)
{
    std::string ignored;
    return router_system().shell(command, output ? output : &ignored);
}

int run_program(const std::vector<std::string>& argv, std::string* output)
{
    return router_system().program(argv, output);
}

int sync_to_storage(int fd)
{
    return router_system().sync(fd);
}

void msleep(uint32_t ms)
{
    router_system().sleep(std::chrono::milliseconds(ms));
}

void sleep_seconds(unsigned seconds)
{
    router_system().sleep(std::chrono::seconds(seconds));
}

std::chrono::steady_clock::time_point monotonic_now()
{
    return router_system().now();
}
