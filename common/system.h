// The one way both programs reach the router's side effects: shell command lines, programs,
// pauses and the clock. Each goes through the installed backend: the real one runs and sleeps,
// the recording one (common/system_recording.h) keeps the exact texts and answers as scripted.
// None of them logs; callers report the command and its outcome in their own words.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class system_backend
{
public:
    virtual ~system_backend() = default;
    // Runs the command line through /bin/sh and returns the raw wait status (-1 when no shell
    // could be started). With `output`, standard error is folded into standard output and all
    // of it appended there; without, both stay the caller's.
    virtual int shell(const std::string& command, std::string* output) = 0;
    // Executes argv[0] (searched on PATH when it holds no slash) with the argument texts,
    // without a shell. Standard input and error lead to /dev/null, standard output too unless
    // `output` is given: then what the program printed until it ended is appended there (a
    // program must not block on it: what does not fit a pipe is lost). Raw wait status, -1
    // when no child was created.
    virtual int program(const std::vector<std::string>& argv, std::string* output) = 0;
    // Writes what the system holds of the open file (or directory) to the storage: fsync.
    virtual int sync(int fd) = 0;
    // Sleeps the duration, resuming after an interruption unless SIGTERM_ARRIVED is set.
    virtual void sleep(std::chrono::milliseconds duration) = 0;
    virtual std::chrono::steady_clock::time_point now() = 0;
};

// The backend in use: the real one unless another was installed.
system_backend& router_system();
// Installs `backend` (null: the real one) and returns the one it replaces.
system_backend* install_system_backend(system_backend* backend);

// Runs the command line through /bin/sh. Returns its exit code 0-255, -1 for an empty line
// (nothing is run) and 255 when the shell itself cannot be started.
int run_shell(const std::string& command);
// As run_shell, returning the raw wait status.
int run_shell_status(const std::string& command);
// Runs the command line through /bin/sh with standard error folded into standard output and
// appends everything it prints to `output` (when given). Returns the raw wait status.
int run_shell_capture(const std::string& command, std::string* output = nullptr);
// Runs a program without a shell (system_backend::program); at most 62 argument texts.
int run_program(const std::vector<std::string>& argv, std::string* output = nullptr);

// Set when SIGTERM arrived; the pauses and the plain message reader give up instead of resuming
// an interrupted wait.
extern volatile unsigned char SIGTERM_ARRIVED;

// fsync through the backend: the step of a save that makes it survive a power cut.
int sync_to_storage(int fd);

void msleep(uint32_t ms);
void sleep_seconds(unsigned seconds);
std::chrono::steady_clock::time_point monotonic_now();
