// Process-level helpers of the daemon: becoming a daemon. The pauses and the SIGTERM flag live in
// common/system.h.
#pragma once

// Detaches from the terminal (double fork, new session, cwd /, descriptors 0-2 on /dev/null).
// Returns 0 in the daemon process and -1 on failure; the starting processes leave with _exit(0).
// With stay_child the forks are left out: the process stays the child of the one that started
// it (the module's supervisor, which waits for it to end) and only leads a session of its own
// where it may.
int daemonize(bool stay_child = false);
