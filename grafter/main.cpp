// Entry of grafter: its log lines go to syslog under its own name.
#include "grafter/grafter.h"

#include <syslog.h>

int main(int argc, char** argv)
{
    openlog("grafter", LOG_PID, LOG_DAEMON);
    return grafter_main(argc, argv);
}
