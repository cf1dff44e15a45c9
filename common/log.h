// One logging entry point for the daemon. In production it writes to syslog; tests install a
// capture sink and assert exact texts and priorities.
#pragma once

#include <functional>
#include <string>
#include <syslog.h>

// openlog("quillmeshd", LOG_PID | LOG_NDELAY, LOG_DAEMON)
void qm_openlog();

// The mask that lets through every priority up to and including `level`.
int qm_log_mask_for_level(unsigned level);

// Sets the syslog mask (and the capture sink's filter) from the configured syslog level.
void qm_set_log_level(unsigned level);

void qm_log(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A sink receives every line that passes the mask. An empty function restores syslog.
using qm_log_sink = std::function<void(int priority, const std::string& text)>;
void qm_set_log_sink(qm_log_sink sink);
