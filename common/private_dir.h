// Directories that root works in under a fixed path in a world-writable place such as /tmp,
// where any local user may have been first.
#pragma once

#include <string>

// Makes `path` (no trailing '/') ready for root's private use. A missing directory is created
// with mode 0700 when `create` is set. An existing entry must be a real directory (not a link)
// owned by this process's user and writable by nobody else; anything else is logged, removed
// without following links, and refused. True when the directory can be used.
bool claim_private_dir(const std::string& path, bool create);
