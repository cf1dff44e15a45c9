// Carries the settings of an installed module over into the settings file of its new version.
#pragma once

#include <cstdio>

// Merges the saved old settings into the new settings file; returns the number of values replaced.
int merge_settings(const char* new_path, const char* old_path);

// Looks `key` up in the old settings file, falling back to the keys it was derived from.
// Returns a newly allocated value (free it) or null.
char* settings_lookup_alias(FILE* old_file, const char* key);
