/* noop_plugin: does nothing; the start-up run loads copies named noop_NN.so
 * (NN 0..63), each taking the ID 0x00600000 + (NN << 16). Other names refuse. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include "plugin/dvrplugin_entry.h"

static const char here = 0; /* its address names this copy's file, never another's */

int Load(const _LoadParmsIn *in, _LoadParmsOut *out)
{
    Dl_info info;
    const char *name;
    char *end;
    long number;

    (void)in;
    if (!dladdr(&here, &info) || !info.dli_fname)
        return -1;
    name = strrchr(info.dli_fname, '/');
    name = name ? name + 1 : info.dli_fname;
    if (strncmp(name, "noop_", 5) != 0)
        return -1;
    number = strtol(name + 5, &end, 10);
    if (end == name + 5 || strcmp(end, ".so") != 0 || number < 0 || number >= 64)
        return -1;
    out->pluginId = 0x00600000u + ((uint32_t)number << 16);
    out->defaultLogLevel = 25;
    return 0;
}

int Open(const _OpenParmsIn *in, _OpenParmsOut *out)
{
    (void)in;
    (void)out;
    return 0;
}

int Close(const _CloseParmsIn *in, _CloseParmsOut *out)
{
    (void)in;
    (void)out;
    return 0;
}
