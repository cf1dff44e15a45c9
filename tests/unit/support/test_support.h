// Helpers shared by the unit tests: a capture of log lines and a temporary directory.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

struct log_line {
    int priority;
    std::string text;
    bool operator==(const log_line& o) const { return priority == o.priority && text == o.text; }
};

// Captures every line logged while it lives; the mask stays as configured.
class log_capture
{
public:
    log_capture();
    ~log_capture();
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    const std::vector<log_line>& lines() const { return lines_; }
    std::vector<std::string> texts() const;
    bool contains(int priority, const std::string& text) const;
    bool contains_text(const std::string& text) const;
    void clear() { lines_.clear(); }

private:
    std::vector<log_line> lines_;
};

// A fresh directory under /tmp, removed with everything in it when the object goes.
class temp_dir
{
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A directory first on PATH while the object lives, for stand-ins of the tools a program runs:
// a stand-in can play what someone else does between two of the program's commands.
class path_stand_ins
{
public:
    path_stand_ins();
    ~path_stand_ins();
    path_stand_ins(const path_stand_ins&) = delete;
    path_stand_ins& operator=(const path_stand_ins&) = delete;

    // Writes the shell script `body` as the executable `name`.
    void add(const std::string& name, const std::string& body) const;

private:
    temp_dir dir_;
    std::string old_path_;
};

// The paths that match the shell pattern, sorted; empty when none does.
std::vector<std::string> matching_paths(const std::string& pattern);

// The text of the GenericError the action throws, or "(nothing thrown)".
std::string message_of(const std::function<void()>& action);
std::string read_file(const std::string& path);
// The lines of a text, without their line ends; a last line without one counts as well.
std::vector<std::string> split_lines(const std::string& text);
void write_file(const std::string& path, const std::string& content);
// True when running as the sandbox's init child (private namespaces set up by qm-sandbox).
bool in_sandbox();
