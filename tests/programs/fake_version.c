/* Preloaded into a child: Py_GetVersion answers FAKE_VERSION (a -D definition) once the child sets
   FAKE_VERSION_ON, and the real version before that, so that the dependencies, some of which check
   the version themselves, load normally. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>

const char *Py_GetVersion(void) {
    if (getenv("FAKE_VERSION_ON")) return FAKE_VERSION;
    return ((const char *(*)(void))dlsym(RTLD_NEXT, "Py_GetVersion"))();
}
