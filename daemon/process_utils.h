// Process-level helpers of the daemon: becoming a daemon, a millisecond sleep for polling
// loops, and the flag that tells interruptible waits to give up.
#pragma once

#include <cstdint>

// Set when SIGTERM arrived; msleep and the plain message reader give up instead of resuming
// an interrupted wait.
extern volatile unsigned char SIGTERM_ARRIVED;

// Detaches from the terminal (double fork, new session, cwd /, descriptors 0-2 on /dev/null).
// Returns 0 in the daemon process and -1 on failure; the starting processes leave with _exit(0).
// With stay_child the forks are left out: the process stays the child of the one that started
// it (the module's supervisor, which waits for it to end) and only leads a session of its own
// where it may.
int daemonize(bool stay_child = false);

void msleep(uint32_t ms);
