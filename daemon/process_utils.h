// Process-level helpers of the daemon: becoming a daemon. The pauses and the SIGTERM flag live in
// common/system.h.
#pragma once

// Detaches from the terminal (double fork, new session, cwd /, descriptors 0-2 on /dev/null).
// Returns 0 in the daemon process and -1 on failure; the starting processes leave with _exit(0).
int daemonize();
