#include "common/system_recording.h"

#include <unistd.h>

recording_system::recording_system()
    : previous_(install_system_backend(this))
{
}

recording_system::~recording_system()
{
    install_system_backend(previous_);
}

recording_system& recording_system::operator=(const recording_system& other)
{
    run_unscripted = other.run_unscripted;
    real_sleeps_up_to = other.real_sleeps_up_to;
    commands = other.commands;
    sleeps = other.sleeps;
    syncs = other.syncs;
    clock = other.clock;
    answers_ = other.answers_;
    return *this;
}

void recording_system::script(const std::string& prefix, int exit_code, const std::string& output, int times)
{
    answers_.push_back({ prefix, (exit_code & 0xff) << 8, output, times });
}

void recording_system::script_status(const std::string& prefix, int status, int times)
{
    answers_.push_back({ prefix, status, std::string(), times });
}

recording_system::answer* recording_system::respond(const std::string& text, std::string* output)
{
    commands.push_back(text);
    answer* best = nullptr;
    for (answer& a : answers_) {
        if (a.times >= 0 && text.compare(0, a.prefix.size(), a.prefix) == 0
            && (!best || a.prefix.size() > best->prefix.size()))
            best = &a;
    }
    if (!best)
        return nullptr;
    if (best->times > 0 && --best->times == 0)
        best->times = -1; // used up
    if (output)
        output->append(best->output);
    return best;
}

int recording_system::shell(const std::string& command, std::string* output)
{
    if (const answer* scripted = respond(command, output))
        return scripted->status;
    return run_unscripted ? previous_->shell(command, output) : 0;
}

int recording_system::program(const std::vector<std::string>& argv, std::string* output)
{
    std::string text;
    for (const std::string& arg : argv)
        text += (text.empty() ? "" : " ") + arg;
    if (const answer* scripted = respond(text, output))
        return scripted->status;
    return run_unscripted ? previous_->program(argv, output) : 0;
}

int recording_system::sync(int fd)
{
    char path[4096] = {};
    ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
    syncs.push_back(n > 0 ? std::string(path, static_cast<size_t>(n)) : "fd " + std::to_string(fd));
    return 0;
}

void recording_system::sleep(std::chrono::milliseconds duration)
{
    sleeps.push_back(duration);
    clock += duration;
    if (duration <= real_sleeps_up_to)
        previous_->sleep(duration);
}

std::vector<unsigned> recording_system::sleep_seconds() const
{
    std::vector<unsigned> seconds;
    for (auto d : sleeps)
        seconds.push_back(static_cast<unsigned>(std::chrono::duration_cast<std::chrono::seconds>(d).count()));
    return seconds;
}
