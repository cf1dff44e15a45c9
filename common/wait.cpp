#include "common/wait.h"

#include <cerrno>
#include <ctime>

#include "common/log.h"

volatile unsigned char SIGTERM_ARRIVED = 0;

void msleep(uint32_t ms)
{
    struct timespec request = {static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000L)};
    struct timespec remaining = {0, 0};
    while (nanosleep(&request, &remaining) != 0) {
        if (errno != EINTR) {
            qm_log(LOG_DEBUG, "msleep: something went terribly wrong");
            return;
        }
        if (SIGTERM_ARRIVED) {
            qm_log(LOG_DEBUG, "msleep: sigterm arrived");
            return;
        }
        request = remaining;
    }
}
