// The updater looks at a module package's member list before it unpacks anything: a member
// that could land outside the unpacking directory, or a link that leads out of its module
// directory, refuses the whole package.
#pragma once

#include <string>

// Checks a member listing in the format of `tar --numeric-owner -tv` (type and mode, uid/gid or
// plain owner/group names, size, date, time, name, and " -> target" for a symbolic link,
// " link to target" for a hard link). Names are taken as they resolve ("./a//b" is "a/b"). True when every line parses,
// every member name is relative without ".." components, every link stays inside the module directory of its member
// (the name's first component), and no member is a device node. An empty listing is not a package.
bool package_listing_safe(const std::string& listing);

// Lists the gzip-compressed package with tar and checks the listing. The path must already be
// safe for a command line.
bool package_members_safe(const std::string& package);
