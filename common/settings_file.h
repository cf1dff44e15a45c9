// The router's key=value settings files: a key-by-key reader and writer over an open handle,
// and a whole-file reader into a dictionary.
#pragma once

#include "common/handles.h"

#include <cstdio>
#include <string>
#include <unordered_map>

// Opens a settings file for reading; null when it cannot be opened. A settings file is written
// through an atomic_file (common/handles.h) and the writers below, and replaced by its commit():
// a crash or power cut leaves the old content or the new one, never half of one.
file_ptr settings_open(const char* path);

// Looks for `key` (any letter case) from the current position on. Returns the value inside a
// shared line buffer, valid until the next lookup, or null when the key is not found.
const char* settings_find(FILE* file, const char* key);

// Rewinds and looks the key up: the first matching line wins. Absent keys and null handles
// give an empty text and 0.
std::string settings_get_text(FILE* file, const char* key);
unsigned settings_get_uint(FILE* file, const char* key);

// Writers; each returns the number of characters written, 0 for a null handle.
int settings_put_text(FILE* file, const char* key, const std::string& value);
int settings_put_uint(FILE* file, const char* key, unsigned value, bool keep_zero);
int settings_put_flag(FILE* file, const char* key, int value);

using settings_map = std::unordered_map<std::string, std::string>;

// Adds the file's KEY=value pairs (all whitespace removed, first occurrence wins) to `map`.
// False only on a read error; a missing file adds nothing and gives true.
bool settings_load_map(const std::string& path, settings_map& map);
