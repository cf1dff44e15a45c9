// The recording backend of the side-effect seam (common/system.h): it runs nothing and sleeps
// not at all. It keeps the exact texts of the command lines and programs asked for, answers
// them as scripted, and keeps a clock that only the pauses move. It is installed while it lives.
#pragma once

#include "common/system.h"

#include <chrono>
#include <string>
#include <vector>

class recording_system : public system_backend
{
public:
    recording_system();
    ~recording_system() override;
    recording_system(const recording_system&) = delete;
    // Takes the other's script and record; which backend is installed stays as it is.
    recording_system& operator=(const recording_system& other);

    // Command lines and programs (their argument texts joined by blanks) that begin with
    // `prefix` exit with `exit_code` and print `output`; `times` > 0 answers only that many
    // times. The longest matching prefix answers; of equal ones the first not used up. Anything
    // unscripted exits 0 and prints nothing.
    void script(const std::string& prefix, int exit_code, const std::string& output = std::string(), int times = 0);
    // A raw wait status instead of an exit code (a signal, or -1: could not be started).
    void script_status(const std::string& prefix, int status, int times = 0);

    // Sandbox tests let the unscripted commands run for real (still recorded); pauses and the
    // clock stay recorded.
    bool run_unscripted = false;
    // Tests against real peers let the transport's short polling waits pass for real (still
    // recorded) up to this length.
    std::chrono::milliseconds real_sleeps_up_to { 0 };

    std::vector<std::string> commands; // every command line and program, in order
    std::vector<std::chrono::milliseconds> sleeps;
    std::vector<std::string> syncs; // the path each synced descriptor had at that moment
    std::chrono::steady_clock::time_point clock {}; // moved by the pauses only

    int shell(const std::string& command, std::string* output) override;
    int program(const std::vector<std::string>& argv, std::string* output) override;
    int sync(int fd) override;
    void sleep(std::chrono::milliseconds duration) override;
    std::chrono::steady_clock::time_point now() override { return clock; }

    // The pauses in whole seconds.
    std::vector<unsigned> sleep_seconds() const;

private:
    struct answer {
        std::string prefix;
        int status;
        std::string output;
        int times;
    };
    answer* respond(const std::string& text, std::string* output);

    std::vector<answer> answers_;
    system_backend* previous_;
};
