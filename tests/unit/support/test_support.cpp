#include "support/test_support.h"

#include "common/error.h"
#include "common/log.h"
#include "common/system.h"

#include <cstdlib>
#include <fstream>
#include <glob.h>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

log_capture::log_capture()
{
    qm_set_log_sink([this](int priority, const std::string& text) { lines_.push_back({ priority, text }); });
}

log_capture::~log_capture()
{
    qm_set_log_sink(nullptr);
}

std::vector<std::string> log_capture::texts() const
{
    std::vector<std::string> out;
    for (const auto& l : lines_)
        out.push_back(l.text);
    return out;
}

bool log_capture::contains(int priority, const std::string& text) const
{
    for (const auto& l : lines_) {
        if (l.priority == priority && l.text == text)
            return true;
    }
    return false;
}

bool log_capture::contains_text(const std::string& text) const
{
    for (const auto& l : lines_) {
        if (l.text == text)
            return true;
    }
    return false;
}

temp_dir::temp_dir()
{
    char templ[] = "/tmp/qm-test-XXXXXX";
    if (!mkdtemp(templ))
        throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

temp_dir::~temp_dir()
{
    run_shell("rm -rf '" + path_ + "'");
}

path_stand_ins::path_stand_ins()
{
    const char* path = getenv("PATH");
    old_path_ = path ? path : "/usr/bin:/bin";
    setenv("PATH", (dir_.path() + ":" + old_path_).c_str(), 1);
}

path_stand_ins::~path_stand_ins()
{
    setenv("PATH", old_path_.c_str(), 1);
}

void path_stand_ins::add(const std::string& name, const std::string& body) const
{
    write_file(dir_.file(name), "#!/bin/sh\n" + body);
    chmod(dir_.file(name).c_str(), 0755);
}

std::vector<std::string> matching_paths(const std::string& pattern)
{
    std::vector<std::string> paths;
    glob_t found {};
    if (glob(pattern.c_str(), 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; ++i)
            paths.push_back(found.gl_pathv[i]);
    }
    globfree(&found);
    return paths;
}

std::string message_of(const std::function<void()>& action)
{
    try {
        action();
    } catch (const GenericError& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool in_sandbox()
{
    const char* marker = getenv("QM_SANDBOX");
    return marker && *marker;
}
