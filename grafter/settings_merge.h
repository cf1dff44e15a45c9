// Carries the settings of an installed module over into the settings file of its new version.
#pragma once

#include <cstdio>

// Merges the saved old settings into the new settings file: the new file decides which keys
// exist and in which order, and each key takes its old value where there is one. The new file
// is rewritten (atomically) only when a value changed. Returns the number of values replaced;
// 0 when nothing changed or a file cannot be read.
int merge_settings(const char* new_path, const char* old_path);

// Looks `key` up in the old settings file (any letter case), falling back to the keys that the
// firewall and DHCP settings were derived from. Returns a newly allocated value (free() it) or
// null; an absent key and an empty value are distinct.
char* settings_lookup_alias(FILE* old_file, const char* key);
