// Waiting in polling loops: a millisecond sleep and the flag that tells interruptible waits to
// give up.
#pragma once

#include <cstdint>

// Set when SIGTERM arrived; msleep and the plain message reader give up instead of resuming
// an interrupted wait.
extern volatile unsigned char SIGTERM_ARRIVED;

void msleep(uint32_t ms);
