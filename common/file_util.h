// Small file operations shared by both programs, and the atomic replacement that every writer
// of settings, certificates and credentials goes through.
#pragma once

#include <string>
#include <sys/types.h>

// True when the path exists (any kind of file).
bool file_exists(const std::string& path);

// Reads at most n - 1 characters of the file into `buffer` (always NUL-terminated) and returns
// the number of characters read minus one (-1 for an empty file). Logs and returns 0 when the
// file cannot be opened.
int file_to_array(const char* path, char* buffer, size_t n);

// Writes `content` to `path` with the fopen mode ("w" or "a"). Mode "w" replaces the file
// atomically (see atomic_file in common/handles.h for the file replaced and its mode). Returns 0 on success
// and non-zero when the content could not be written completely (the old file then stays
// whole). Throws GenericError when the file cannot be opened:
// "Failed to open file [<mode>]: '<path>': <system error text>".
int string_to_file(const std::string& content, const std::string& path, const char* mode, mode_t perms = 0644);

// The directory part of a path ("." when there is none, "/" for the root).
std::string directory_of(const std::string& path);
