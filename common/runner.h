// The ways both programs run the router's commands. None of them logs; callers report the
// command and its outcome in their own words.
#pragma once

#include <string>

// Runs the command line through /bin/sh. Returns its exit code 0-255, -1 for an empty line
// (nothing is run) and 255 when the shell itself cannot be started.
int run_shell(const std::string& command);

// Runs the command line through /bin/sh with standard error folded into standard output and
// appends everything it prints to `output` (when given). Returns the raw wait status.
int run_shell_capture(const std::string& command, std::string* output = nullptr);

// Forks and executes `path` (searched on PATH when it holds no slash) with up to 62 argument
// texts ended by a null entry, without a shell. Standard streams lead to /dev/null unless
// set_child_stdout handed one over. Returns the raw wait status, -1 when no child was created.
int run_program(const char* path, ...) __attribute__((sentinel));

// Makes `fd` the standard output of the next run_program child; 0 and 2 are ignored.
// The parent's copy of a descriptor above 2 is closed after that child was started.
void set_child_stdout(int fd);
