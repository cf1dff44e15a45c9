/* Package build only. The TLS library's Diffie-Hellman code names pow() and log() to size a
 * private key; that alone would make every start load the whole maths library, whose own
 * start-up (it picks a variant of each function for the processor) leaves some 300 KiB of it
 * resident for the daemon's life, while the daemon's exchanges (TLS 1.3, elliptic curves) never
 * take that path. These two load the library when they are first called and hand the call on,
 * so the results are the library's own. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <gnu/lib-names.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

double pow(double x, double y);
double log(double x);

static void* maths_function(const char* name)
{
    void* library = dlopen(LIBM_SO, RTLD_NOW | RTLD_LOCAL);
    void* function = library ? dlsym(library, name) : NULL;
    if (!function) {
        /* No result beats a wrong one: a key of the wrong size. The supervisor starts again. */
        syslog(LOG_CRIT, "Unable to load %s from %s. Exiting...", name, LIBM_SO);
        abort();
    }
    return function;
}

double pow(double x, double y)
{
    static double (*function)(double, double);
    if (!function) {
        void* found = maths_function("pow");
        memcpy(&function, &found, sizeof function);
    }
    return function(x, y);
}

double log(double x)
{
    static double (*function)(double);
    if (!function) {
        void* found = maths_function("log");
        memcpy(&function, &found, sizeof function);
    }
    return function(x);
}
