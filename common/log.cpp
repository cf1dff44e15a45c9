#include "common/log.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {
qm_log_sink& sink()
{
    static qm_log_sink s;
    return s;
}
int current_mask = 0xff;  // everything passes until a level is configured
}  // namespace

void qm_openlog()
{
    openlog("quillmeshd", LOG_PID | LOG_NDELAY, LOG_DAEMON);
}

int qm_log_mask_for_level(unsigned level)
{
    if (level > 7)
        level = 7;
    return (1 << (level + 1)) - 1;
}

void qm_set_log_level(unsigned level)
{
    current_mask = qm_log_mask_for_level(level);
    setlogmask(current_mask);
}

void qm_set_log_sink(qm_log_sink s)
{
    sink() = std::move(s);
}

void qm_log(int priority, const char* format, ...)
{
    va_list args;
    if (!sink()) {
        va_start(args, format);
        vsyslog(priority, format, args);
        va_end(args);
        return;
    }
    if (!(current_mask & LOG_MASK(LOG_PRI(priority))))
        return;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (n > 0) {
        std::vector<char> buf(static_cast<size_t>(n) + 1);
        vsnprintf(buf.data(), buf.size(), format, args);
        text.assign(buf.data(), static_cast<size_t>(n));
    }
    va_end(args);
    sink()(LOG_PRI(priority), text);
}
