#include "common/log.h"

#include "common/str_util.h"

#include <cstdarg>

namespace
{
qm_log_sink& sink()
{
    static qm_log_sink s;
    return s;
}
int current_mask = 0xff; // everything passes until a level is configured
} // namespace

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
    std::string text = vformat_text(format, args);
    va_end(args);
    sink()(LOG_PRI(priority), text);
}
