// Small file operations shared by both programs, and the atomic replacement that every writer
// of settings, certificates and credentials goes through.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>

// True when the path exists (any kind of file).
bool file_exists(const std::string& path);

// Reads at most n - 1 characters of the file into `buffer` (always NUL-terminated) and returns
// the number of characters read minus one (-1 for an empty file). Logs and returns 0 when the
// file cannot be opened.
int file_to_array(const char* path, char* buffer, size_t n);

// Writes `content` to `path` with the fopen mode ("w" or "a"). Mode "w" replaces the file
// atomically (see atomic_file_begin for the file replaced and its mode). Returns 0 on success
// and non-zero when the content could not be written completely (the old file then stays
// whole). Throws GenericError when the file cannot be opened:
// "Failed to open file [<mode>]: '<path>': <system error text>".
int string_to_file(const std::string& content, const std::string& path, const char* mode, mode_t perms = 0644);

// Atomic replacement in two steps: begin opens a temporary file beside the file to replace
// (null and errno set on failure; `temp_path` receives its name); commit flushes and syncs it,
// renames it over that file and syncs the directory. Commit returns 0 on success; on any
// failure it removes the temporary file, leaves the old file untouched and returns -1.
// When `path` is a symbolic link the file replaced is the one at the end of the link chain
// (created when the chain ends at a missing name in an existing directory); the link stays.
// The replacement has the owner and mode of the file it replaces, except that a private
// writer (`perms` without group or other bits) never makes a file wider than `perms`; a new
// file gets `perms` (0644 by default, 0600 for private keys), from the first moment it exists.
FILE* atomic_file_begin(const std::string& path, mode_t perms, std::string& temp_path);
int atomic_file_commit(FILE* file, const std::string& temp_path);

// Drops an atomic replacement that is not wanted any more.
void atomic_file_abort(FILE* file, const std::string& temp_path);
