/*
 * noop_plugin - a plugin that does nothing, for measuring the core's start-up
 * with many plugins (bench/startup.py).
 *
 * Copies of this one library are loaded side by side as noop_NN.so (NN a
 * decimal number 0..63). Each copy is a library of its own to the loader, and
 * takes its ID from the number in its file name: 0x00600000 + (NN << 16), so
 * every copy has an ID of its own. Any other file name refuses the load.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include "plugin/dvrplugin_entry.h"

#define NOOP_BASE_ID 0x00600000u
#define NOOP_COPIES  64

/* The number in this copy's file name, or -1. */
static int copy_number(void)
{
    Dl_info info;
    const char *name, *digits;
    char *end;
    long number;

    if (!dladdr((void *)copy_number, &info) || !info.dli_fname)
        return -1;
    name = strrchr(info.dli_fname, '/');
    name = name ? name + 1 : info.dli_fname;
    if (strncmp(name, "noop_", 5) != 0)
        return -1;
    digits = name + 5;
    number = strtol(digits, &end, 10);
    if (end == digits || strcmp(end, ".so") != 0 || number < 0 || number >= NOOP_COPIES)
        return -1;
    return (int)number;
}

int Load(const _LoadParmsIn *in, _LoadParmsOut *out)
{
    const int number = copy_number();

    (void)in;
    if (number < 0)
        return -1;
    out->pluginId = NOOP_BASE_ID + ((uint32_t)number << 16);
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
