// Directories that root works in under a fixed path in a world-writable place such as /tmp,
// where any local user may have been first.
#pragma once

#include <string>

// Makes `path` (no trailing '/') ready for root's private use. A missing directory is created
// with mode 0700 when `create` is set. An existing entry must be a real directory (not a link)
// owned by this process's user and writable by nobody else; anything else is logged, removed
// with remove_tree, and refused. True when the directory can be used.
bool claim_private_dir(const std::string& path, bool create);

// Removes `path` and, for a directory, everything below it, without ever following a link: each
// directory is entered through a descriptor opened with O_NOFOLLOW, so a directory swapped for a
// link while the removal runs is not followed. True when nothing is left at `path`.
bool remove_tree(const std::string& path);
